# The session recorder: gate state machine, mixing, conversion, lifecycle and ordering, write
# failures (scripted capture source and gate, real files), crash safety (a child process killed
# mid-session), and end to end with the sound server and the real gate.
add_executable(recorder_crash_helper recorder/RecorderCrashHelper.cpp recorder/RecorderTestSupport.h)
target_include_directories(recorder_crash_helper PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(recorder_crash_helper PRIVATE murmurly_recorder)
murmurly_set_warnings(recorder_crash_helper)

murmurly_add_test(test_audio_recorder
    SOURCES
        recorder/RecorderTestSupport.h
        recorder/SessionRecorderTest.cpp
    LIBS murmurly_recorder)
target_compile_definitions(test_audio_recorder PRIVATE
    RECORDER_CRASH_HELPER="$<TARGET_FILE:recorder_crash_helper>")
add_dependencies(test_audio_recorder recorder_crash_helper)

# End to end: the sound-server fixture and the real gate (the model path comes in MURMURLY_VAD_MODEL).
if(TARGET murmurly_capture AND TARGET murmurly_vad AND COMMAND murmurly_add_pulse_test)
    # Real-time speech whose timing is measured: nothing else runs beside it.
    murmurly_add_pulse_test(test_audio_recorder_e2e
        TIMEOUT 180
        PROPERTIES RUN_SERIAL TRUE
        SOURCES
            recorder/RecorderEndToEndTest.cpp
            recorder/RecorderTestSupport.h
        LIBS murmurly_recorder murmurly_capture murmurly_vad)
endif()
