# Opus encoding against opusenc, and a 200 MB upload to the local fake service (memory, throughput).
if(TARGET murmurly_transcription AND TARGET murmurly_fake_services)
    add_executable(bench_transcription ${CMAKE_CURRENT_LIST_DIR}/TranscriptionBench.cpp)
    target_link_libraries(bench_transcription PRIVATE murmurly_transcription murmurly_fake_services)
    murmurly_set_warnings(bench_transcription)
endif()
