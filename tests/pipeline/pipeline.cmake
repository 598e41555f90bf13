# The session pipeline on the real recorder (scripted microphone and gate), the real clients
# against the local fake services, and real files in the temporary home.
murmurly_add_test(test_pipeline_run
    SOURCES
        run/ScriptedAudio.h
        run/PipelineFixture.h
        run/RecordingLifecycleTest.cpp
        run/TranscriptionRunTest.cpp
        run/LivePreviewTest.cpp
    LIBS murmurly_pipeline murmurly_fake_services)

# End to end: the sound-server fixture, the real Silero gate, the fake Lemonfox service.
if(COMMAND murmurly_add_pulse_test)
    murmurly_add_pulse_test(test_pipeline_e2e
        TIMEOUT 180
        SOURCES
            run/PipelineFixture.h
            run/PipelineEndToEndTest.cpp
        LIBS murmurly_pipeline murmurly_fake_services)
endif()
