# Ogg/Opus encoding against real files, read back through libsndfile; the session copies that
# only ever appear complete.
murmurly_add_test(test_opus_encoder
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/opus/OpusCopyTest.cpp
    LIBS murmurly_opus)
