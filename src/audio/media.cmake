# MediaFileDecoder: audio and video files of any common format, decoded for import through
# FFmpeg's libraries (libsndfile stays for our own WAV files). The FFmpeg side is a module,
# libmurmurly-media.so, that MediaFileDecoder loads on first use, so that FFmpeg and the libraries
# it pulls in are mapped only into a process that imports a file. It is private to the program:
# lib/<multiarch triplet>/murmurly/ on Debian (outside the linker's search path, so the package needs
# no ldconfig call), lib/murmurly/ elsewhere.
set(MURMURLY_MODULE_DIR "lib/murmurly")
if(CMAKE_LIBRARY_ARCHITECTURE)
    set(MURMURLY_MODULE_DIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}/murmurly")
endif()
file(RELATIVE_PATH MURMURLY_MEDIA_MODULE_FROM_BIN "/${CMAKE_INSTALL_BINDIR}" "/${MURMURLY_MODULE_DIR}")

add_library(murmurly_media_engine MODULE
    ${CMAKE_CURRENT_LIST_DIR}/FfmpegMediaDecoder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MediaDecoderEngine.h)
set_target_properties(murmurly_media_engine PROPERTIES
    OUTPUT_NAME murmurly-media
    LIBRARY_OUTPUT_DIRECTORY "${PROJECT_BINARY_DIR}/${MURMURLY_MODULE_DIR}"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(murmurly_media_engine PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(murmurly_media_engine PRIVATE PkgConfig::AVFORMAT PkgConfig::AVCODEC
                      PkgConfig::SWRESAMPLE PkgConfig::AVUTIL)
murmurly_set_warnings(murmurly_media_engine)
install(TARGETS murmurly_media_engine LIBRARY DESTINATION "${MURMURLY_MODULE_DIR}")

murmurly_add_library(murmurly_media
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/MediaDecoderEngine.h
        ${CMAKE_CURRENT_LIST_DIR}/MediaFileDecoder.cpp
        ${CMAKE_CURRENT_LIST_DIR}/MediaFileDecoder.h
    LIBS murmurly_common Qt6::Core)
target_compile_definitions(murmurly_media PRIVATE
    MURMURLY_MEDIA_MODULE_FROM_BIN="${MURMURLY_MEDIA_MODULE_FROM_BIN}")
# Whatever links the decoder needs the engine beside it to import anything.
add_dependencies(murmurly_media murmurly_media_engine)
