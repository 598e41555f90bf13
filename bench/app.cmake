# The whole application recording two-source audio in real time: CPU time per minute of audio as a
# fraction of one core and peak RSS, against an idle Murmurly and a bare capture of both sources
# (parec) measured in the same run. Needs pulseaudio, paplay/parec, espeak-ng and sox.
add_executable(bench_app ${CMAKE_CURRENT_LIST_DIR}/AppBench.cpp)
target_link_libraries(bench_app PRIVATE Qt6::Core Qt6::Network)
target_compile_definitions(bench_app PRIVATE
    MURMURLY_BENCH_FIXTURE_SCRIPT="${PROJECT_SOURCE_DIR}/tests/support/pulse-fixture.sh"
    MURMURLY_BENCH_MODEL_PATH="${MURMURLY_MODEL_BUILD_PATH}")
murmurly_set_warnings(bench_app)
if(TARGET murmurly)
    add_dependencies(bench_app murmurly)
endif()
