# Local stand-ins for the two transcription services (real HTTP on 127.0.0.1).
add_library(murmurly_fake_services STATIC
    ${CMAKE_CURRENT_LIST_DIR}/FakeTranscriptionService.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FakeTranscriptionService.h)
target_include_directories(murmurly_fake_services PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(murmurly_fake_services PUBLIC Qt6::Core Qt6::Network)
target_compile_definitions(murmurly_fake_services PRIVATE
    MURMURLY_FAKE_SERVICES_DATA="${PROJECT_SOURCE_DIR}/tests/data/fake-services")
murmurly_set_warnings(murmurly_fake_services)

# Both fakes as a program, for trying the application by hand.
add_executable(murmurly-fake-services ${CMAKE_CURRENT_LIST_DIR}/FakeServicesMain.cpp)
target_link_libraries(murmurly-fake-services PRIVATE murmurly_fake_services)
murmurly_set_warnings(murmurly-fake-services)
