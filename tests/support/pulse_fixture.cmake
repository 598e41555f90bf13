# A private PulseAudio daemon for tests that capture real audio (pulse-fixture.sh starts it).
#
# How to use it (recorder, app and capture tests):
#
#   murmurly_add_pulse_test(test_my_capture
#       SOURCES MyCaptureTest.cpp
#       LIBS murmurly_capture)
#
# is murmurly_add_test() plus: the test links murmurly_test_pulse (support/PulseFixture.h) and
# every discovered test case gets
#   FIXTURES_REQUIRED pulse      ctest starts the daemon before the first such test and stops it
#                                after the last (the tests pulse_fixture_start/pulse_fixture_stop);
#   RESOURCE_LOCK pulse          no two of them share the daemon at once (they change defaults,
#                                kill it, play into its sinks);
#   PULSE_SERVER=unix:<build>/pulse-fixture/native in the environment, so libpulse, paplay and
#                                pactl in the test reach the private daemon and nothing else.
# To add the same to a test made some other way, pass PROPERTIES ${props} after
# murmurly_pulse_test_properties(props). (Only single values in PROPERTIES: murmurly_add_test
# cannot pass lists through test discovery; use ENVIRONMENT_MODIFICATION for more variables.)
#
# The daemon: sinks "speakers" (default sink: play a file there for "system audio") and "mic_in"
# (its monitor is the default source: play there for "the microphone"); float32 capture works on
# both. From C++ (murmurly::test::PulseFixture): play a file into a sink (paplay), synthesize speech
# (espeak-ng), run pactl, load another sink, kill the daemon and start it again (a vanishing
# server), or restart it for a pristine state. The daemon is shared by every fixture test of a
# run and a test may leave it changed (or dead): call PulseFixture::restart() first when the test
# relies on the defaults above, as the capture tests do. Run by hand:
#   tests/support/pulse-fixture.sh start /tmp/pa && export PULSE_SERVER=unix:/tmp/pa/native

set(MURMURLY_PULSE_FIXTURE_SCRIPT "${CMAKE_CURRENT_SOURCE_DIR}/pulse-fixture.sh" CACHE INTERNAL "")
set(MURMURLY_PULSE_FIXTURE_DIR "${PROJECT_BINARY_DIR}/pulse-fixture" CACHE INTERNAL "")

add_test(NAME pulse_fixture_start COMMAND "${MURMURLY_PULSE_FIXTURE_SCRIPT}" start "${MURMURLY_PULSE_FIXTURE_DIR}")
set_tests_properties(pulse_fixture_start PROPERTIES FIXTURES_SETUP pulse RESOURCE_LOCK pulse TIMEOUT 30)
add_test(NAME pulse_fixture_stop COMMAND "${MURMURLY_PULSE_FIXTURE_SCRIPT}" stop "${MURMURLY_PULSE_FIXTURE_DIR}")
set_tests_properties(pulse_fixture_stop PROPERTIES FIXTURES_CLEANUP pulse RESOURCE_LOCK pulse TIMEOUT 30)

add_library(murmurly_test_pulse STATIC PulseFixture.cpp)
target_include_directories(murmurly_test_pulse PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(murmurly_test_pulse PUBLIC Qt6::Core)
target_compile_definitions(murmurly_test_pulse PRIVATE
    MURMURLY_PULSE_FIXTURE_SCRIPT="${MURMURLY_PULSE_FIXTURE_SCRIPT}")
murmurly_set_warnings(murmurly_test_pulse)

function(murmurly_pulse_test_properties out_var)
    set(${out_var}
        FIXTURES_REQUIRED pulse
        RESOURCE_LOCK pulse
        ENVIRONMENT_MODIFICATION "PULSE_SERVER=set:unix:${MURMURLY_PULSE_FIXTURE_DIR}/native"
        PARENT_SCOPE)
endfunction()

function(murmurly_add_pulse_test name)
    cmake_parse_arguments(ARG "GUI" "TIMEOUT" "SOURCES;LIBS;PROPERTIES" ${ARGN})
    murmurly_pulse_test_properties(pulse_properties)
    set(gui)
    if(ARG_GUI)
        set(gui GUI)
    endif()
    set(timeout)
    if(ARG_TIMEOUT)
        set(timeout TIMEOUT ${ARG_TIMEOUT})
    endif()
    murmurly_add_test(${name} ${gui} ${timeout}
        SOURCES ${ARG_SOURCES}
        LIBS ${ARG_LIBS} murmurly_test_pulse
        PROPERTIES ${pulse_properties} ${ARG_PROPERTIES})
endfunction()
