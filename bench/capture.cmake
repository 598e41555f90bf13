# Capture side: the capture callback path and the one-second conversion to the working format,
# both as ratios against sox converting the same audio in the same run.
add_executable(bench_capture ${CMAKE_CURRENT_LIST_DIR}/CaptureBench.cpp)
target_link_libraries(bench_capture PRIVATE murmurly_audio Qt6::Core benchmark::benchmark)
murmurly_set_warnings(bench_capture)
