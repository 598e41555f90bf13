#pragma once

#include "audio/AudioConverter.h"
#include "audio/AudioFormat.h"
#include "audio/PcmBuffer.h"
#include "common/Error.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

using SNDFILE = struct sf_private_tag;

namespace murmurly {

// Reads any audio file the installed libsndfile decodes (WAV, FLAC, Ogg/Vorbis, Ogg/Opus where
// supported, MP3, ...). Samples come out in the processing format: 32-bit float, non-interleaved,
// the file's own rate and channel count.
class AudioFileReader {
public:
    // Throws SystemError (with the decoder's message) when the file cannot be opened or decoded.
    static std::unique_ptr<AudioFileReader> open(const QString& path);
    // True when the file holds at least one frame, repairing a WAV header that does not describe
    // its data (as a crash leaves it) before giving up.
    static bool hasAudioFrames(const QString& path);
    ~AudioFileReader();
    AudioFileReader(const AudioFileReader&) = delete;
    AudioFileReader& operator=(const AudioFileReader&) = delete;

    // Length in frames, as the file's header (or the decoder) states it.
    std::int64_t length() const { return m_length; }
    AudioFormat processingFormat() const { return m_format; }

    std::int64_t framePosition() const { return m_position; }
    // Throws SystemError when the file cannot seek there.
    void setFramePosition(std::int64_t frame);

    // Reads up to min(frames, buffer capacity) frames into `buffer` (which must be in the processing
    // format) and sets its frame length to the frames read: 0 at the end of the file.
    // Throws SystemError on a read error or a buffer of another format.
    void read(PcmBuffer& buffer, std::uint32_t frames);
    void read(PcmBuffer& buffer) { read(buffer, buffer.frameCapacity()); }

    // A converter input that reads the file block by block into `buffer` (in the processing
    // format). A read error ends the input as if the file ended there, after `onReadError` has seen
    // it: the audio read up to a damaged spot is still worth converting. Both objects must outlive
    // the returned block.
    AudioConverter::InputBlock inputBlock(PcmBuffer& buffer,
                                          std::function<void(const Error&)> onReadError = {});

private:
    AudioFileReader() = default;

    SNDFILE* m_file = nullptr;
    AudioFormat m_format;
    std::int64_t m_length = 0;
    std::int64_t m_position = 0;
    std::vector<float> m_interleaved; // scratch for de-interleaving
};

} // namespace murmurly
