#include "audio/AudioLevelComputer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

using namespace murmurly;

TEST(AudioLevelComputer, FollowsTwiceTheRmsClampedToOne) {
    std::vector<float> square(4096), sine(4096), quiet(4096, 0.0f);
    for (std::size_t i = 0; i < square.size(); ++i) {
        square[i] = (i / 8) % 2 ? 1.0f : -1.0f;
        sine[i] = 0.5f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 440.0 * i / 16000.0));
    }
    EXPECT_FLOAT_EQ(AudioLevelComputer::rmsLevel(PcmBuffer::fromMonoFloat(square.data(), 4096)), 1.0f);
    EXPECT_NEAR(AudioLevelComputer::rmsLevel(PcmBuffer::fromMonoFloat(sine.data(), 4096)), 0.7071f, 0.002f);
    EXPECT_NEAR(AudioLevelComputer::rmsLevelFromRawFloat(sine.data(), sine.size()), 0.7071f, 0.002f);
    EXPECT_EQ(AudioLevelComputer::rmsLevel(PcmBuffer::fromMonoFloat(quiet.data(), 4096)), 0.0f);
    EXPECT_EQ(AudioLevelComputer::rmsLevel(PcmBuffer::fromMonoFloat(quiet.data(), 0)), 0.0f);
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(sine.data(), 0), 0.0f);

    const float* channels[] = {sine.data()};
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromFloat(channels, 4096, 0), 0.0f);

    // A value that is not a number gives 0 rather than poisoning the level bars; infinity is full scale.
    sine[100] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(sine.data(), sine.size()), 0.0f);
    sine[100] = std::numeric_limits<float>::infinity();
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(sine.data(), sine.size()), 1.0f);
}

TEST(AudioLevelComputer, Int16UsesFullScale32767AndTheFirstChannelOnly) {
    const std::vector<std::int16_t> loud(1024, 16384);
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawInt16(loud.data(), loud.size()), 1.0f); // 1.00003 clamped
    const std::vector<std::int16_t> quarter(1024, 8192);
    EXPECT_NEAR(AudioLevelComputer::rmsLevelFromRawInt16(quarter.data(), quarter.size()), 2.0f * 8192 / 32767,
                1e-5f);

    // Planar and interleaved stereo: left at 8192, right silent. Only the left channel counts.
    auto planar = PcmBuffer::create({48000, 2, SampleType::Int16, false}, 512);
    auto interleaved = PcmBuffer::create({48000, 2, SampleType::Int16, true}, 512);
    for (int i = 0; i < 512; ++i) {
        planar->int16ChannelData(0)[i] = 8192;
        planar->int16ChannelData(1)[i] = 0;
        interleaved->int16ChannelData(0)[2 * i] = 8192;
        interleaved->int16ChannelData(0)[2 * i + 1] = 0;
    }
    planar->setFrameLength(512);
    interleaved->setFrameLength(512);
    EXPECT_NEAR(AudioLevelComputer::rmsLevel(*planar), 2.0f * 8192 / 32767, 1e-5f);
    EXPECT_NEAR(AudioLevelComputer::rmsLevel(*interleaved), 2.0f * 8192 / 32767, 1e-5f);
    const std::int16_t* channels[] = {planar->int16ChannelData(0), planar->int16ChannelData(1)};
    EXPECT_NEAR(AudioLevelComputer::rmsLevelFromInt16(channels, 512), 2.0f * 8192 / 32767, 1e-5f);
}

TEST(AudioLevelComputer, FloatCoversEveryChannel) {
    // Left at 0.25, right silent: over both channels the RMS is 0.25 / sqrt(2).
    const float expected = 2.0f * 0.25f / std::sqrt(2.0f);
    auto planar = PcmBuffer::create({48000, 2, SampleType::Float32, false}, 256);
    auto interleaved = PcmBuffer::create({48000, 2, SampleType::Float32, true}, 256);
    for (int i = 0; i < 256; ++i) {
        planar->floatChannelData(0)[i] = 0.25f;
        planar->floatChannelData(1)[i] = 0.0f;
        interleaved->floatChannelData(0)[2 * i] = 0.25f;
        interleaved->floatChannelData(0)[2 * i + 1] = 0.0f;
    }
    planar->setFrameLength(256);
    interleaved->setFrameLength(256);
    EXPECT_NEAR(AudioLevelComputer::rmsLevel(*planar), expected, 1e-6f);
    EXPECT_NEAR(AudioLevelComputer::rmsLevel(*interleaved), expected, 1e-6f);
    const float* channels[] = {planar->floatChannelData(0), planar->floatChannelData(1)};
    EXPECT_NEAR(AudioLevelComputer::rmsLevelFromFloat(channels, 256, 2), expected, 1e-6f);
}
