#include "audio/PcmBuffer.h"

#include <gtest/gtest.h>

using namespace murmurly;

TEST(PcmBuffer, LaysOutChannelsByFormat) {
    auto planar = PcmBuffer::create({48000, 2, SampleType::Float32, false}, 100);
    ASSERT_TRUE(planar);
    EXPECT_EQ(planar->bufferCount(), 2);
    EXPECT_EQ(planar->bufferByteCapacity(), 400u);
    EXPECT_EQ(planar->floatChannelData(1) - planar->floatChannelData(0), 100);
    EXPECT_EQ(planar->int16ChannelData(0), nullptr);
    EXPECT_EQ(planar->floatChannelData(2), nullptr);

    auto interleaved = PcmBuffer::create({48000, 2, SampleType::Int16, true}, 100);
    ASSERT_TRUE(interleaved);
    EXPECT_EQ(interleaved->bufferCount(), 1);
    interleaved->setFrameLength(10);
    EXPECT_EQ(interleaved->bufferByteSize(), 40u);
    interleaved->setFrameLength(1000);
    EXPECT_EQ(interleaved->frameLength(), 100u);
}

TEST(PcmBuffer, RefusesInvalidFormatsAndHugeCapacities) {
    EXPECT_FALSE(PcmBuffer::create({0, 1, SampleType::Float32, false}, 10));
    EXPECT_FALSE(PcmBuffer::create({16000, 0, SampleType::Float32, false}, 10));
    EXPECT_FALSE(PcmBuffer::create({16000, 8, SampleType::Float32, false}, 0xFFFFFFFFu));
}

TEST(PcmBuffer, CopiesAreIndependent) {
    const float samples[] = {0.1f, 0.2f, 0.3f};
    PcmBuffer original = PcmBuffer::fromMonoFloat(samples, 3);
    PcmBuffer copy = original;
    original.floatChannelData(0)[0] = 0.9f;
    EXPECT_FLOAT_EQ(copy.floatChannelData(0)[0], 0.1f);
    EXPECT_EQ(copy.frameLength(), 3u);
    EXPECT_EQ(copy.format(), (AudioFormat{16000, 1, SampleType::Float32, false}));
}
