# Decoding media files made by the ffmpeg tool in each test.
murmurly_add_test(test_media_decoder
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/media/MediaFileDecoderTest.cpp
    LIBS murmurly_media)
