# Every target of the project builds with the same strict warning set; a warning is an error.
function(murmurly_set_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow=local -Wnon-virtual-dtor -Woverloaded-virtual
        -Wcast-align -Wnull-dereference -Wimplicit-fallthrough -Werror)
    target_compile_definitions(${target} PRIVATE
        QT_NO_CONTEXTLESS_CONNECT QT_USE_QSTRINGBUILDER
        QT_NO_URL_CAST_FROM_STRING)
endfunction()

# A static library of one subsystem: sources listed explicitly by the caller.
function(murmurly_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
    murmurly_set_warnings(${name})
endfunction()

# A GoogleTest executable; every test case runs in its own process with its own temporary
# HOME and XDG folders (see tests/support/TestMain.cpp). NO_DISCOVERY leaves registering its test
# cases to the caller (murmurly_discover_tests), e.g. once per sound server.
function(murmurly_add_test name)
    cmake_parse_arguments(ARG "GUI;NO_DISCOVERY" "TIMEOUT" "SOURCES;LIBS;PROPERTIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    if(ARG_GUI)
        target_link_libraries(${name} PRIVATE murmurly_test_main_gui)
    else()
        target_link_libraries(${name} PRIVATE murmurly_test_main)
    endif()
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock)
    murmurly_set_warnings(${name})
    if(NOT ARG_NO_DISCOVERY)
        murmurly_discover_tests(${name} TIMEOUT "${ARG_TIMEOUT}" PROPERTIES ${ARG_PROPERTIES})
    endif()
endfunction()

# Registers every test case of a test executable with ctest, its name prefixed by PREFIX (may be
# called more than once per executable with different prefixes and properties).
function(murmurly_discover_tests name)
    cmake_parse_arguments(ARG "" "TIMEOUT;PREFIX" "PROPERTIES" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    string(MAKE_C_IDENTIFIER "${name}_${ARG_PREFIX}TESTS" test_list)
    # NO_PRETTY_VALUES: our parameterised cases are named; the printed value (raw bytes, pointers
    # included) would otherwise be appended to each test's name.
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        NO_PRETTY_VALUES
        TEST_PREFIX "${ARG_PREFIX}"
        TEST_LIST ${test_list}
        PROPERTIES TIMEOUT ${ARG_TIMEOUT} ${ARG_PROPERTIES})
    # gtest_discover_tests flattens list values in PROPERTIES: an ENVIRONMENT list would keep only its
    # first entry and shift every later name/value pair. The environment is therefore set by a script
    # that ctest includes after the discovered tests exist. (PROPERTIES take single values only.)
    set(env "QT_QPA_PLATFORM=offscreen;MURMURLY_SOURCE_DIR=${PROJECT_SOURCE_DIR};MURMURLY_BUILD_DIR=${PROJECT_BINARY_DIR};MURMURLY_VAD_MODEL=${MURMURLY_MODEL_BUILD_PATH}")
    set(env_script "${CMAKE_CURRENT_BINARY_DIR}/${test_list}_environment.cmake")
    file(WRITE "${env_script}"
        "foreach(test IN LISTS ${test_list})\n"
        "    set_tests_properties(\"\${test}\" PROPERTIES ENVIRONMENT [==[${env}]==])\n"
        "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${env_script}")
endfunction()
