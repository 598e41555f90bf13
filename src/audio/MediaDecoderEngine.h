#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// The boundary between MediaFileDecoder and its FFmpeg engine.
//
// The engine lives in a module of its own (libmurmurly-media.so) that MediaFileDecoder loads the
// first time a file is imported. FFmpeg's libraries pull in more than a hundred others (codecs,
// hardware acceleration, network protocols); linked into the program, they would be mapped into
// every running instance, some 20 MB of memory, for a feature used now and then. Only this header
// is shared by both sides: plain types, a failure code instead of our own exceptions.

namespace murmurly {

// Why a media file cannot be decoded (MediaDecodeError::Reason).
enum class MediaDecodeFailure {
    unreadable,    // missing, a folder, or no permission
    empty,         // zero bytes
    notMedia,      // no container format recognises it
    noAudio,       // a media file without an audio stream (or one that holds no samples)
    unsupported,   // an audio stream no installed decoder handles
    damaged,       // reading stopped on broken or missing data (a truncated download)
    engineMissing, // the module that holds the decoder cannot be loaded
};

class __attribute__((visibility("default"))) MediaDecoderEngine {
public:
    static constexpr int outputRate = 16000;

    virtual ~MediaDecoderEngine() = default;
    // Replaces `block` with the next samples and returns true; returns false with an empty block at
    // the end of the stream, or on failure with `failure` set.
    virtual bool read(std::vector<float>& block, std::optional<MediaDecodeFailure>& failure) = 0;
    // How far through the file the engine is, in [0, 1].
    virtual double progress() const = 0;
};

// The module's entry point: opens the file (a path in the file system's encoding) whose size the
// caller has checked. Returns null with `failure` set when the file cannot be decoded.
using OpenMediaDecoderEngine = MediaDecoderEngine* (*)(const char* path, std::int64_t fileSize,
                                                       MediaDecodeFailure* failure);
inline constexpr char kOpenMediaDecoderEngineSymbol[] = "murmurly_open_media_decoder";

} // namespace murmurly
