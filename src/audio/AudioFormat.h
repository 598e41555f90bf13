#pragma once

#include <cstdint>
#include <optional>

namespace murmurly {

// The sample type of a PCM format. The numeric values are stable: they are what
// AudioFormatSignature records as the format's "common format" code.
enum class SampleType : std::uint8_t {
    Float32 = 1,
    Int16 = 2,
};

// Describes PCM audio: rate, channel count, sample type and layout. A value type.
struct AudioFormat {
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
    SampleType sampleType = SampleType::Float32;
    bool interleaved = false;

    // The recorder's working format: 16 kHz, mono, 32-bit float, non-interleaved.
    static AudioFormat working() { return {16000.0, 1, SampleType::Float32, false}; }

    bool isValid() const { return sampleRate > 0 && channelCount >= 1 && channelCount <= 64; }
    std::uint32_t bytesPerSample() const { return sampleType == SampleType::Float32 ? 4u : 2u; }
    std::uint32_t bytesPerFrame() const { return bytesPerSample() * channelCount; }

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

// The identity of an input format, used to decide whether a cached converter can be reused.
// Two signatures are equal when all four fields are equal (the rate compared exactly).
struct AudioFormatSignature {
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
    std::uint64_t commonFormatRawValue = 0;
    bool isInterleaved = false;

    static AudioFormatSignature of(const AudioFormat& format) {
        return {format.sampleRate, format.channelCount, static_cast<std::uint64_t>(format.sampleType),
                format.interleaved};
    }

    friend bool operator==(const AudioFormatSignature&, const AudioFormatSignature&) = default;
};

} // namespace murmurly
