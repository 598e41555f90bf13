#pragma once

#include "audio/PcmBuffer.h"

#include <cstddef>
#include <cstdint>

namespace murmurly {

// Turns a block of samples into the level shown by the level bars: min(1, 2 × RMS), in [0, 1]
// (16-bit samples count as value / 32767). An empty block, or a result that is not a number, is 0.
// Called for every block on the sound server's threads, so each function makes one pass over the
// samples and allocates nothing. Sums are accumulated in 32-bit floats.
class AudioLevelComputer {
public:
    AudioLevelComputer() = delete;

    // Float buffers: every channel; 16-bit buffers: the first channel only; other buffers: 0.
    static float rmsLevel(const PcmBuffer& buffer);
    // `channels` holds `channelCount` pointers to `frameLength` samples each; all of them count.
    static float rmsLevelFromFloat(const float* const* channels, std::uint32_t frameLength,
                                   std::uint32_t channelCount);
    // Only the first channel counts.
    static float rmsLevelFromInt16(const std::int16_t* const* channels, std::uint32_t frameLength);
    static float rmsLevelFromRawFloat(const float* samples, std::size_t count);
    static float rmsLevelFromRawInt16(const std::int16_t* samples, std::size_t count);
};

} // namespace murmurly
