#pragma once

#include "audio/MediaDecoderEngine.h"
#include "common/Error.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace murmurly {

// Why a media file cannot be decoded. The description is a short reason meant to follow the file's
// name ("Cannot import "talk.mp4": no audio stream").
class MediaDecodeError : public ErrorBase<MediaDecodeError> {
public:
    using Reason = MediaDecodeFailure;

    explicit MediaDecodeError(Reason reason)
        : m_reason(reason) {}
    Reason reason() const { return m_reason; }
    QString description() const override;

private:
    Reason m_reason;
};

// Decodes the first audio stream of any file FFmpeg's demuxers and decoders read (MP3, AAC/M4A,
// MP4/MOV/MKV/WebM, Ogg/Opus/Vorbis, FLAC, WAV, ...) into the session format: 16 kHz, mono, 32-bit
// float. Channels are averaged, as everywhere else in the system.
//
// Streams: each read() decodes a packet's worth of audio, so memory stays flat whatever the length
// of the file. Other streams (video, subtitles) are discarded by the demuxer, not decoded. Not
// thread-safe; one thread drives one decoder, any thread may create it. FFmpeg itself is loaded on
// the first open() (see MediaDecoderEngine.h).
class MediaFileDecoder {
public:
    static constexpr int outputRate = 16000;

    // Opens the file and its audio decoder. Throws MediaDecodeError.
    static std::unique_ptr<MediaFileDecoder> open(const QString& path);
    ~MediaFileDecoder();
    MediaFileDecoder(const MediaFileDecoder&) = delete;
    MediaFileDecoder& operator=(const MediaFileDecoder&) = delete;

    // Replaces `block` with the next samples (at least one) and returns true; returns false with an
    // empty block at the end of the stream. Throws MediaDecodeError (damaged) when the file breaks
    // off or cannot be read further, and (noAudio) when the stream ends without a single sample.
    bool read(std::vector<float>& block);

    // How far through the file the decoder is, in [0, 1]: by the time stamps of the decoded audio
    // against the stated duration, or by the read position in the file when there is none.
    double progress() const;

    // Samples handed out so far.
    std::int64_t samplesRead() const { return m_samplesRead; }

private:
    explicit MediaFileDecoder(std::unique_ptr<MediaDecoderEngine> engine);

    std::unique_ptr<MediaDecoderEngine> m_engine;
    std::int64_t m_samplesRead = 0;
};

} // namespace murmurly
