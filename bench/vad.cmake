# Silero VAD: one window through our network against ONNX Runtime on the same machine and run.
add_executable(bench_vad ${CMAKE_CURRENT_LIST_DIR}/VadBench.cpp)
target_link_libraries(bench_vad PRIVATE murmurly_vad Qt6::Core PkgConfig::SNDFILE benchmark::benchmark)
target_compile_definitions(bench_vad PRIVATE
    MURMURLY_BENCH_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    MURMURLY_BENCH_MODEL_PATH="${MURMURLY_MODEL_BUILD_PATH}")
murmurly_set_warnings(bench_vad)
