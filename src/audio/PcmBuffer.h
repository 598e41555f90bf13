#pragma once

#include "audio/AudioFormat.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace murmurly {

// A block of PCM audio in a given format: a frame capacity, a frame length (at most the capacity)
// and the samples. Copying a PcmBuffer copies its samples, which is how buffers that are only valid
// inside a sound-server callback cross to another thread.
//
// Layout follows the format:
//  - non-interleaved: one data block per channel (bufferCount() == channelCount);
//  - interleaved: one data block holding all channels frame by frame (bufferCount() == 1).
// floatChannelData(c)/int16ChannelData(c) return block c, or nullptr when the sample type does
// not match or c is out of range.
class PcmBuffer {
public:
    // Fails (no buffer) for an invalid format or a capacity whose storage would exceed 1 GiB.
    static std::optional<PcmBuffer> create(const AudioFormat& format, std::uint32_t frameCapacity);

    // Convenience: a mono working-format buffer holding the given samples.
    static PcmBuffer fromMonoFloat(const float* samples, std::uint32_t count, double sampleRate = 16000.0);

    const AudioFormat& format() const { return m_format; }
    std::uint32_t frameCapacity() const { return m_capacity; }
    std::uint32_t frameLength() const { return m_length; }
    // Clamped to the capacity.
    void setFrameLength(std::uint32_t frames) { m_length = frames < m_capacity ? frames : m_capacity; }

    int bufferCount() const { return m_format.interleaved ? 1 : static_cast<int>(m_format.channelCount); }
    // Raw bytes of data block `index` and the byte size of its first frameLength() frames.
    std::byte* bufferData(int index);
    const std::byte* bufferData(int index) const;
    std::size_t bufferByteSize() const;
    std::size_t bufferByteCapacity() const;

    float* floatChannelData(int channel);
    const float* floatChannelData(int channel) const;
    std::int16_t* int16ChannelData(int channel);
    const std::int16_t* int16ChannelData(int channel) const;

private:
    PcmBuffer(const AudioFormat& format, std::uint32_t capacity);

    AudioFormat m_format;
    std::uint32_t m_capacity = 0;
    std::uint32_t m_length = 0;
    std::vector<std::byte> m_storage; // bufferCount() blocks of bufferByteCapacity() bytes
};

} // namespace murmurly
