# Session recorder: its work per second of two-source audio (conversion, mixing, Silero gate, WAV
# writes) as a fraction of one core and a multiple of real time, against the inference alone and
# the recorder with a gate that costs nothing, all in the same run.
add_executable(bench_recorder ${CMAKE_CURRENT_LIST_DIR}/RecorderBench.cpp)
target_link_libraries(bench_recorder PRIVATE murmurly_recorder murmurly_vad Qt6::Core benchmark::benchmark)
target_compile_definitions(bench_recorder PRIVATE
    MURMURLY_BENCH_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    MURMURLY_BENCH_MODEL_PATH="${MURMURLY_MODEL_BUILD_PATH}")
murmurly_set_warnings(bench_recorder)
