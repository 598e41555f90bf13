# History scan: time per scan of 5,000 sessions against a bare listing of the same folders, and how
# long the main thread is held while a rescan runs.
add_executable(bench_history ${CMAKE_CURRENT_LIST_DIR}/HistoryScanBench.cpp)
target_link_libraries(bench_history PRIVATE murmurly_history Qt6::Core)
murmurly_set_warnings(bench_history)
