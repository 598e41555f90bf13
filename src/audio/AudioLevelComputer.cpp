#include "audio/AudioLevelComputer.h"

#include <cmath>

namespace murmurly {

namespace {

constexpr float kInt16FullScale = 32767.0f;
// The format allows at most this many channels, so per-channel pointers fit on the stack.
constexpr std::uint32_t kMaxChannels = 64;

float levelFromSum(float sumOfSquares, std::size_t count) {
    if (count == 0)
        return 0.0f;
    const float level = 2.0f * std::sqrt(sumOfSquares / static_cast<float>(count));
    if (std::isnan(level))
        return 0.0f;
    return level < 0.0f ? 0.0f : (level > 1.0f ? 1.0f : level);
}

// Sum of squares of contiguous floats. Eight partial sums (still 32-bit floats) let the compiler
// use vector instructions; a single running sum would wait on every addition.
float floatSumOfSquares(const float* samples, std::size_t count) {
    float lanes[8] = {};
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8)
        for (std::size_t l = 0; l < 8; ++l)
            lanes[l] += samples[i + l] * samples[i + l];
    float sum = 0.0f;
    for (; i < count; ++i)
        sum += samples[i] * samples[i];
    for (float lane : lanes)
        sum += lane;
    return sum;
}

// Sum of squares of every `stride`-th 16-bit sample, taken as value / 32767.
float int16SumOfSquares(const std::int16_t* samples, std::size_t count, std::size_t stride) {
    float sum = 0.0f;
    for (std::size_t i = 0; i < count; ++i) {
        const float x = static_cast<float>(samples[i * stride]) / kInt16FullScale;
        sum += x * x;
    }
    return sum;
}

} // namespace

float AudioLevelComputer::rmsLevelFromFloat(const float* const* channels, std::uint32_t frameLength,
                                            std::uint32_t channelCount) {
    if (!channels || frameLength == 0 || channelCount < 1)
        return 0.0f;
    float sum = 0.0f;
    for (std::uint32_t c = 0; c < channelCount; ++c)
        sum += floatSumOfSquares(channels[c], frameLength);
    return levelFromSum(sum, std::size_t{frameLength} * channelCount);
}

float AudioLevelComputer::rmsLevelFromInt16(const std::int16_t* const* channels, std::uint32_t frameLength) {
    if (!channels || frameLength == 0)
        return 0.0f;
    return levelFromSum(int16SumOfSquares(channels[0], frameLength, 1), frameLength);
}

float AudioLevelComputer::rmsLevelFromRawFloat(const float* samples, std::size_t count) {
    if (!samples || count == 0)
        return 0.0f;
    return levelFromSum(floatSumOfSquares(samples, count), count);
}

float AudioLevelComputer::rmsLevelFromRawInt16(const std::int16_t* samples, std::size_t count) {
    if (!samples || count == 0)
        return 0.0f;
    return levelFromSum(int16SumOfSquares(samples, count, 1), count);
}

float AudioLevelComputer::rmsLevel(const PcmBuffer& buffer) {
    const std::uint32_t frames = buffer.frameLength();
    const AudioFormat& format = buffer.format();
    if (frames == 0 || format.channelCount < 1 || format.channelCount > kMaxChannels)
        return 0.0f;

    if (format.sampleType == SampleType::Float32) {
        // Interleaved: one block holds every channel, which is what "all channels" sums over.
        if (format.interleaved)
            return rmsLevelFromRawFloat(buffer.floatChannelData(0),
                                        std::size_t{frames} * format.channelCount);
        const float* channels[kMaxChannels];
        for (std::uint32_t c = 0; c < format.channelCount; ++c)
            channels[c] = buffer.floatChannelData(static_cast<int>(c));
        return rmsLevelFromFloat(channels, frames, format.channelCount);
    }
    if (format.sampleType == SampleType::Int16) {
        // First channel only; in an interleaved block its samples are one frame apart.
        const std::int16_t* first = buffer.int16ChannelData(0);
        if (!first)
            return 0.0f;
        const std::size_t stride = format.interleaved ? format.channelCount : 1;
        return levelFromSum(int16SumOfSquares(first, frames, stride), frames);
    }
    return 0.0f;
}

} // namespace murmurly
