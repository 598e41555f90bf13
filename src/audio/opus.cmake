# OpusEncoder: recordings to Ogg/Opus through libopusenc, read and resampled by murmurly_audio.
murmurly_add_library(murmurly_opus
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/OpusCopy.cpp
        ${CMAKE_CURRENT_LIST_DIR}/OpusEncoder.cpp
    LIBS murmurly_audio PkgConfig::OPUSENC Qt6::Core)
