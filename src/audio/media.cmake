# MediaFileDecoder: audio and video files of any common format, decoded for import through
# FFmpeg's libraries (libsndfile stays for our own WAV files).
murmurly_add_library(murmurly_media
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/MediaFileDecoder.cpp
        ${CMAKE_CURRENT_LIST_DIR}/MediaFileDecoder.h
    LIBS murmurly_common Qt6::Core PkgConfig::AVFORMAT PkgConfig::AVCODEC PkgConfig::SWRESAMPLE
         PkgConfig::AVUTIL)
