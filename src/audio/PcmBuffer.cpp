#include "audio/PcmBuffer.h"

#include <cstring>

namespace murmurly {

namespace {
constexpr std::size_t kMaxStorageBytes = std::size_t{1} << 30;
}

PcmBuffer::PcmBuffer(const AudioFormat& format, std::uint32_t capacity)
    : m_format(format)
    , m_capacity(capacity)
    , m_storage(bufferByteCapacity() * static_cast<std::size_t>(bufferCount())) {}

std::optional<PcmBuffer> PcmBuffer::create(const AudioFormat& format, std::uint32_t frameCapacity) {
    if (!format.isValid())
        return std::nullopt;
    const std::size_t bytes = std::size_t{frameCapacity} * format.bytesPerFrame();
    if (bytes > kMaxStorageBytes)
        return std::nullopt;
    return PcmBuffer(format, frameCapacity);
}

PcmBuffer PcmBuffer::fromMonoFloat(const float* samples, std::uint32_t count, double sampleRate) {
    PcmBuffer buffer({sampleRate, 1, SampleType::Float32, false}, count);
    if (count > 0)
        std::memcpy(buffer.floatChannelData(0), samples, std::size_t{count} * sizeof(float));
    buffer.setFrameLength(count);
    return buffer;
}

std::size_t PcmBuffer::bufferByteCapacity() const {
    const std::size_t samplesPerBlock =
        std::size_t{m_capacity} * (m_format.interleaved ? m_format.channelCount : 1u);
    return samplesPerBlock * m_format.bytesPerSample();
}

std::size_t PcmBuffer::bufferByteSize() const {
    const std::size_t samplesPerBlock =
        std::size_t{m_length} * (m_format.interleaved ? m_format.channelCount : 1u);
    return samplesPerBlock * m_format.bytesPerSample();
}

std::byte* PcmBuffer::bufferData(int index) {
    if (index < 0 || index >= bufferCount())
        return nullptr;
    return m_storage.data() + static_cast<std::size_t>(index) * bufferByteCapacity();
}

const std::byte* PcmBuffer::bufferData(int index) const {
    return const_cast<PcmBuffer*>(this)->bufferData(index);
}

float* PcmBuffer::floatChannelData(int channel) {
    if (m_format.sampleType != SampleType::Float32)
        return nullptr;
    return reinterpret_cast<float*>(bufferData(channel));
}

const float* PcmBuffer::floatChannelData(int channel) const {
    return const_cast<PcmBuffer*>(this)->floatChannelData(channel);
}

std::int16_t* PcmBuffer::int16ChannelData(int channel) {
    if (m_format.sampleType != SampleType::Int16)
        return nullptr;
    return reinterpret_cast<std::int16_t*>(bufferData(channel));
}

const std::int16_t* PcmBuffer::int16ChannelData(int channel) const {
    return const_cast<PcmBuffer*>(this)->int16ChannelData(channel);
}

} // namespace murmurly
