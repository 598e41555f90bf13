# Audio platform services: the level meter, the converter and the WAV writer, each against a
# reference measured in the same run.
add_executable(bench_audio_platform ${CMAKE_CURRENT_LIST_DIR}/AudioPlatformBench.cpp)
target_link_libraries(bench_audio_platform PRIVATE murmurly_audio Qt6::Core PkgConfig::SOXR benchmark::benchmark)
murmurly_set_warnings(bench_audio_platform)
