# Private sound servers for tests that capture real audio: a PulseAudio daemon (pulse-fixture.sh)
# and a PipeWire with its PulseAudio server (pipewire-fixture.sh). Our code speaks the PulseAudio
# protocol to both; most desktops run the second.
#
# How to use them (recorder, app and capture tests):
#
#   murmurly_add_pulse_test(test_my_capture
#       SOURCES MyCaptureTest.cpp
#       LIBS murmurly_capture)
#
# builds the test like murmurly_add_test(), links murmurly_test_pulse (support/PulseFixture.h) and
# registers every test case once per server, named "pulse.<Suite>.<Case>" and
# "pipewire.<Suite>.<Case>". Each registration gets, for its server S:
#   FIXTURES_REQUIRED S          ctest starts the server before the first such test and stops it
#                                after the last (the tests S_fixture_start/S_fixture_stop);
#   RESOURCE_LOCK S              no two tests share a server at once (they change defaults, kill
#                                it, play into its sinks); tests of the two servers may run side by
#                                side, the servers share nothing;
#   PULSE_SERVER=unix:<build>/S-fixture/native in the environment, so libpulse, paplay and pactl in
#                                the test reach that private server and nothing else.
# To add the same to a test made some other way, pass PROPERTIES ${props} after
# murmurly_sound_server_test_properties(props S). (Only single values in PROPERTIES:
# murmurly_add_test cannot pass lists through test discovery.)
#
# Each server: sinks "speakers" (default sink: play a file there for "system audio") and "mic_in"
# (its monitor is the default source: play there for "the microphone"); float32 capture works on
# both. From C++ (murmurly::test::PulseFixture): play a file into a sink (paplay), synthesize speech
# (espeak-ng), run pactl, load another sink, kill the server and start it again (a vanishing
# server), or restart it for a pristine state. A server is shared by every test of its fixture in a
# run and a test may leave it changed (or dead): call PulseFixture::restart() first when the test
# relies on the defaults above, as the capture tests do. A server that cannot start fails its
# fixture test (and so every test that needs it). Run by hand:
#   tests/support/pipewire-fixture.sh start /tmp/pw && export PULSE_SERVER=unix:/tmp/pw/native

set(MURMURLY_SOUND_SERVERS pulse pipewire CACHE INTERNAL "")

foreach(server IN LISTS MURMURLY_SOUND_SERVERS)
    set(script "${CMAKE_CURRENT_SOURCE_DIR}/${server}-fixture.sh")
    set(dir "${PROJECT_BINARY_DIR}/${server}-fixture")
    add_test(NAME ${server}_fixture_start COMMAND "${script}" start "${dir}")
    set_tests_properties(${server}_fixture_start PROPERTIES FIXTURES_SETUP ${server} RESOURCE_LOCK ${server} TIMEOUT 30)
    add_test(NAME ${server}_fixture_stop COMMAND "${script}" stop "${dir}")
    set_tests_properties(${server}_fixture_stop PROPERTIES FIXTURES_CLEANUP ${server} RESOURCE_LOCK ${server} TIMEOUT 30)
endforeach()

add_library(murmurly_test_pulse STATIC PulseFixture.cpp)
target_include_directories(murmurly_test_pulse PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(murmurly_test_pulse PUBLIC Qt6::Core)
# The fixture folder <build>/S-fixture is driven by the script S-fixture.sh in this folder.
target_compile_definitions(murmurly_test_pulse PRIVATE
    MURMURLY_FIXTURE_SCRIPT_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
murmurly_set_warnings(murmurly_test_pulse)

function(murmurly_sound_server_test_properties out_var server)
    set(${out_var}
        FIXTURES_REQUIRED ${server}
        RESOURCE_LOCK ${server}
        ENVIRONMENT_MODIFICATION "PULSE_SERVER=set:unix:${PROJECT_BINARY_DIR}/${server}-fixture/native"
        PARENT_SCOPE)
endfunction()

function(murmurly_add_pulse_test name)
    cmake_parse_arguments(ARG "GUI" "TIMEOUT" "SOURCES;LIBS;PROPERTIES" ${ARGN})
    set(gui)
    if(ARG_GUI)
        set(gui GUI)
    endif()
    murmurly_add_test(${name} ${gui} NO_DISCOVERY
        SOURCES ${ARG_SOURCES}
        LIBS ${ARG_LIBS} murmurly_test_pulse)
    foreach(server IN LISTS MURMURLY_SOUND_SERVERS)
        murmurly_sound_server_test_properties(server_properties ${server})
        murmurly_discover_tests(${name} PREFIX "${server}." TIMEOUT "${ARG_TIMEOUT}"
            PROPERTIES ${server_properties} ${ARG_PROPERTIES})
    endforeach()
endfunction()
