# History scan: time per scan of 5,000 sessions against a bare listing of the same folders, and how
# long the main thread is held while a rescan runs.
add_executable(bench_history ${CMAKE_CURRENT_LIST_DIR}/HistoryScanBench.cpp)
target_link_libraries(bench_history PRIVATE murmurly_history Qt6::Core)
murmurly_set_warnings(bench_history)

# The history panel on 5,000 sessions: the longest main-thread stall while it opens and while its
# list scrolls, against a plain list of as many rows in the same run.
if(TARGET murmurly_gui)
    add_executable(bench_history_view ${CMAKE_CURRENT_LIST_DIR}/HistoryViewBench.cpp)
    target_link_libraries(bench_history_view PRIVATE murmurly_gui Qt6::Widgets)
    murmurly_set_warnings(bench_history_view)
endif()
