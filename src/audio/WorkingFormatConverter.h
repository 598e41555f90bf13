#pragma once

#include "audio/AudioConverter.h"
#include "audio/AudioFormat.h"
#include "audio/PcmBuffer.h"

#include <memory>
#include <optional>
#include <vector>

namespace murmurly {

// One source's converter to the recorder's working format (16 kHz mono float), kept while the
// source's format stays the same: building a high-quality resampler for every 4096-frame buffer
// would cost more than the conversion itself.
struct CachedConverter {
    std::unique_ptr<AudioConverter> converter;
    std::optional<AudioFormatSignature> signature;
};

// Converts one buffer to working-format samples, reusing `cache` when the buffer's format matches
// the one the cached converter was built for, and rebuilding it otherwise (a device switched from
// 48 kHz to 44.1 kHz mid-session, say). Input already in the working format is copied through.
// Every buffer is converted on its own (the converter is reset first), so nothing from the previous
// buffer carries over. Throws RecorderError::failedToStart when no converter can be made for the
// format, or the converter's own error when conversion fails; returns an empty array (and logs)
// when the conversion yields nothing.
std::vector<float> resampleTo16kMono(const PcmBuffer& input, CachedConverter& cache);

} // namespace murmurly
