#pragma once

#include "audio/AudioConverter.h"
#include "audio/AudioFormat.h"
#include "audio/PcmBuffer.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace murmurly {

// One source's converter to the recorder's working format (16 kHz mono float), kept while the
// source's format stays the same. It converts the source as one continuous stream: the resampler's
// filter keeps its state from one buffer to the next, so buffer edges leave no trace in the
// signal (a resampler started cold on every buffer rings for dozens of samples at each edge and
// loses a fraction of a sample each time, a click every few tens of milliseconds).
struct CachedConverter {
    std::unique_ptr<AudioConverter> converter;
    std::optional<AudioFormatSignature> signature;
};

// Converts the next buffer of a source to working-format samples. The cached converter is used
// while the buffer's format matches the one it was built for; when the format changes (a device
// switched from 48 kHz to 44.1 kHz mid-session, say) the old converter's remaining output is
// returned first and a new one is built. Input already in the working format is copied through.
// Throws RecorderError::failedToStart when no converter can be made for the format, or the
// converter's own error when conversion fails.
std::vector<float> resampleTo16kMono(const PcmBuffer& input, CachedConverter& cache);

// The end of the source's stream (the session stops): whatever the resampler still holds, after
// which the converter is dropped (its signature stays). Never throws: a failure here is logged.
std::vector<float> flushConverter(CachedConverter& cache);

} // namespace murmurly
