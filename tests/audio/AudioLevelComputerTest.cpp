#include "audio/AudioLevelComputer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace murmurly;

namespace {

// A 512-frame stereo block whose left channel holds `left` throughout and whose right one is silent.
PcmBuffer leftOnly(SampleType type, bool interleaved, float left) {
    auto buffer = PcmBuffer::create({48000, 2, type, interleaved}, 512);
    for (std::uint32_t i = 0; i < 512; ++i) {
        for (int c = 0; c < 2; ++c) {
            const float value = c == 0 ? left : 0.0f;
            const std::size_t at = interleaved ? 2 * i + c : i;
            if (type == SampleType::Float32)
                buffer->floatChannelData(interleaved ? 0 : c)[at] = value;
            else
                buffer->int16ChannelData(interleaved ? 0 : c)[at] = static_cast<std::int16_t>(value);
        }
    }
    buffer->setFrameLength(512);
    return *buffer;
}

} // namespace

// The level is twice the RMS, clamped to 1: a sine at half scale reads 0.71, a full-scale square 1.
TEST(AudioLevelComputer, IsTwiceTheRmsClampedToOneAndZeroForNothingOrNotANumber) {
    std::vector<float> samples(4096, 0.3f);
    EXPECT_NEAR(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), samples.size()), 0.6f, 1e-5f);
    EXPECT_NEAR(AudioLevelComputer::rmsLevel(PcmBuffer::fromMonoFloat(samples.data(), 4096)), 0.6f, 1e-5f);
    EXPECT_EQ(AudioLevelComputer::rmsLevel(PcmBuffer::fromMonoFloat(samples.data(), 0)), 0.0f);
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), 0), 0.0f);
    const float* channels[] = {samples.data()};
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromFloat(channels, 4096, 0), 0.0f);

    samples[100] = 40.0f; // 2 * sqrt((4095 * 0.09 + 1600) / 4096) = 1.39
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), samples.size()), 1.0f);
    // A value that is not a number gives 0 rather than poisoning the level bars; infinity is full scale.
    samples[100] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), samples.size()), 0.0f);
    samples[100] = std::numeric_limits<float>::infinity();
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), samples.size()), 1.0f);
}

// 16-bit samples count against 32767 and only the first channel; float blocks count every channel.
TEST(AudioLevelComputer, Int16ReadsTheFirstChannelAgainst32767AndFloatEveryChannel) {
    const float int16Level = 2.0f * 8192 / 32767;
    const std::vector<std::int16_t> raw(1024, 8192);
    EXPECT_NEAR(AudioLevelComputer::rmsLevelFromRawInt16(raw.data(), raw.size()), int16Level, 5e-6f);
    const float floatLevel = 2.0f * 0.25f / std::sqrt(2.0f);
    for (const bool interleaved : {false, true}) {
        const PcmBuffer int16 = leftOnly(SampleType::Int16, interleaved, 8192);
        EXPECT_NEAR(AudioLevelComputer::rmsLevel(int16), int16Level, 5e-6f) << interleaved;
        const PcmBuffer floats = leftOnly(SampleType::Float32, interleaved, 0.25f);
        EXPECT_NEAR(AudioLevelComputer::rmsLevel(floats), floatLevel, 5e-6f) << interleaved;
        if (interleaved)
            continue;
        const std::int16_t* int16Channels[] = {int16.int16ChannelData(0), int16.int16ChannelData(1)};
        EXPECT_NEAR(AudioLevelComputer::rmsLevelFromInt16(int16Channels, 512), int16Level, 5e-6f);
        const float* floatChannels[] = {floats.floatChannelData(0), floats.floatChannelData(1)};
        EXPECT_NEAR(AudioLevelComputer::rmsLevelFromFloat(floatChannels, 512, 2), floatLevel, 5e-6f);
    }
}
