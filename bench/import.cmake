# Importing an hour of M4A against the ffmpeg tool doing the same conversion in the same run: the
# time ratio and the growth of peak RSS. Needs ffmpeg.
add_executable(bench_import ${CMAKE_CURRENT_LIST_DIR}/ImportBench.cpp)
target_link_libraries(bench_import PRIVATE murmurly_history Qt6::Core)
murmurly_set_warnings(bench_import)
