#pragma once

#include "audio/AudioFormat.h"
#include "audio/PcmBuffer.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

using SNDFILE = struct sf_private_tag;

namespace murmurly {

// Writes a RIFF/WAVE file incrementally with libsndfile. The file's sample type and channel count
// come from `fileFormat`: Float32 gives 32-bit IEEE float samples, Int16 gives 16-bit PCM.
// Destroying the writer (or close()) completes the header's size fields.
class AudioFileWriter {
public:
    // Creates the file with mode 0600. Throws SystemError when it cannot be created, or when a file
    // of that name exists already (it is left untouched).
    static std::unique_ptr<AudioFileWriter> create(const QString& path, const AudioFormat& fileFormat);
    ~AudioFileWriter();
    AudioFileWriter(const AudioFileWriter&) = delete;
    AudioFileWriter& operator=(const AudioFileWriter&) = delete;

    const AudioFormat& fileFormat() const { return m_format; }
    const QString& path() const { return m_path; }
    std::int64_t framesWritten() const { return m_frames; }

    // Appends the buffer's frames. The buffer must have the file's rate and channel count; any
    // sample type or layout is accepted. Throws SystemError on a failed write (a full disk, say).
    void write(const PcmBuffer& buffer);
    // Appends mono float frames (file must have one channel).
    void write(const float* samples, std::size_t frames);
    // Rewrites the header's size fields to cover what has been written so far, so that a reader
    // opening the file now (or after a crash) sees all of it.
    void updateHeader();
    void close();

private:
    AudioFileWriter() = default;

    SNDFILE* m_file = nullptr;
    QString m_path;
    AudioFormat m_format;
    std::int64_t m_frames = 0;
    std::vector<float> m_scratch;
};

} // namespace murmurly
