#include "audio/AudioLevelComputer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace murmurly;

// The level is twice the RMS, clamped to 1.
TEST(AudioLevelComputer, IsTwiceTheRmsClampedToOneOverTheChannelsThatCount) {
    std::vector<float> samples(4096, 0.3f);
    EXPECT_NEAR(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), samples.size()), 0.6f, 1e-5f);
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), 0), 0.0f);
    EXPECT_EQ(AudioLevelComputer::rmsLevel(PcmBuffer::fromMonoFloat(samples.data(), 0)), 0.0f);
    samples[100] = 40.0f; // 2 * sqrt((4095 * 0.09 + 1600) / 4096) = 1.39
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), samples.size()), 1.0f);
    // A value that is not a number gives 0 rather than poisoning the level bars; infinity is full scale.
    samples[100] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), samples.size()), 0.0f);
    samples[100] = std::numeric_limits<float>::infinity();
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), samples.size()), 1.0f);

    // 16-bit samples count against 32767 and only on the first channel; float blocks count every
    // channel.
    for (const SampleType type : {SampleType::Int16, SampleType::Float32}) {
        for (const bool interleaved : {false, true}) {
            // The left channel at a quarter of full scale in the second half of the block, the right
            // one silent: a sum over too few interleaved samples would miss it.
            auto block = PcmBuffer::create({48000, 2, type, interleaved}, 512);
            for (std::size_t i = 256; i < 512; ++i) {
                if (type == SampleType::Int16)
                    block->int16ChannelData(0)[interleaved ? 2 * i : i] = 8192;
                else
                    block->floatChannelData(0)[interleaved ? 2 * i : i] = 0.25f;
            }
            block->setFrameLength(512);
            const float expected = type == SampleType::Int16 ? 2.0f * 8192 / 32767 / std::sqrt(2.0f) : 0.25f;
            EXPECT_NEAR(AudioLevelComputer::rmsLevel(*block), expected, 5e-6f) << interleaved;
        }
    }
}
