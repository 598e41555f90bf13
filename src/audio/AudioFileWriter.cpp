#include "audio/AudioFileWriter.h"

#include "common/Error.h"
#include "common/PrivateFiles.h"

#include <QFile>
#include <QFileInfo>

#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace murmurly {

namespace {

QString writerMessage(SNDFILE* file) {
    return QString::fromUtf8(sf_strerror(file));
}

} // namespace

std::unique_ptr<AudioFileWriter> AudioFileWriter::create(const QString& path, const AudioFormat& fileFormat) {
    if (!fileFormat.isValid() || fileFormat.sampleRate != std::floor(fileFormat.sampleRate) ||
        fileFormat.sampleRate > std::numeric_limits<int>::max())
        throw SystemError(
            QStringLiteral("Cannot create audio file %1: unsupported format (%2 Hz, %3 channels)")
                .arg(path)
                .arg(fileFormat.sampleRate)
                .arg(fileFormat.channelCount));

    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    info.samplerate = static_cast<int>(fileFormat.sampleRate);
    info.channels = static_cast<int>(fileFormat.channelCount);
    info.format =
        SF_FORMAT_WAV | (fileFormat.sampleType == SampleType::Float32 ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);

    // Made here, owner-only and only if nothing is there yet: a recording is never written over,
    // and libsndfile's open below keeps the mode of the file it finds.
    if (!PrivateFiles::createExclusively(path))
        throw SystemError(QStringLiteral("Cannot create audio file %1: %2")
                              .arg(path, QFileInfo::exists(path)
                                             ? QStringLiteral("a file of that name exists")
                                             : QStringLiteral("the file cannot be created")));
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file) {
        const QString reason = writerMessage(nullptr);
        QFile::remove(path); // the empty file made above
        throw SystemError(QStringLiteral("Cannot create audio file %1: %2").arg(path, reason));
    }

    // No PEAK chunk: it would need a scan of every block and only makes the header longer.
    sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    // Float samples beyond full scale are clipped in a 16-bit file rather than wrapped around.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);

    std::unique_ptr<AudioFileWriter> writer(new AudioFileWriter);
    writer->m_file = file;
    writer->m_path = path;
    writer->m_format = fileFormat;
    return writer;
}

AudioFileWriter::~AudioFileWriter() {
    if (m_file)
        sf_close(m_file);
}

void AudioFileWriter::write(const PcmBuffer& buffer) {
    if (!m_file)
        throw SystemError(QStringLiteral("Cannot write to a closed audio file %1").arg(m_path));
    const AudioFormat& format = buffer.format();
    if (format.sampleRate != m_format.sampleRate || format.channelCount != m_format.channelCount)
        throw SystemError(QStringLiteral("Cannot write %1 Hz, %2-channel audio to %3 (%4 Hz, %5 channels)")
                              .arg(format.sampleRate)
                              .arg(format.channelCount)
                              .arg(m_path)
                              .arg(m_format.sampleRate)
                              .arg(m_format.channelCount));

    const std::uint32_t frames = buffer.frameLength();
    if (frames == 0)
        return;
    const std::uint32_t channels = format.channelCount;
    const bool direct = channels == 1 || format.interleaved;

    sf_count_t written = 0;
    if (format.sampleType == SampleType::Int16) {
        // 16-bit samples go through as integers so that a 16-bit file receives them unchanged.
        const std::int16_t* samples = buffer.int16ChannelData(0);
        std::vector<std::int16_t> interleaved;
        if (!direct) {
            interleaved.resize(std::size_t{frames} * channels);
            for (std::uint32_t c = 0; c < channels; ++c) {
                const std::int16_t* in = buffer.int16ChannelData(static_cast<int>(c));
                for (std::uint32_t i = 0; i < frames; ++i)
                    interleaved[std::size_t{i} * channels + c] = in[i];
            }
            samples = interleaved.data();
        }
        written = sf_writef_short(m_file, samples, frames);
    } else {
        const float* samples = buffer.floatChannelData(0);
        if (!direct) {
            m_scratch.resize(std::size_t{frames} * channels);
            for (std::uint32_t c = 0; c < channels; ++c) {
                const float* in = buffer.floatChannelData(static_cast<int>(c));
                for (std::uint32_t i = 0; i < frames; ++i)
                    m_scratch[std::size_t{i} * channels + c] = in[i];
            }
            samples = m_scratch.data();
        }
        written = sf_writef_float(m_file, samples, frames);
    }
    if (written > 0)
        m_frames += written;
    if (written != static_cast<sf_count_t>(frames))
        throw SystemError(
            QStringLiteral("Cannot write audio file %1: %2").arg(m_path, writerMessage(m_file)));
}

void AudioFileWriter::write(const float* samples, std::size_t frames) {
    if (!m_file)
        throw SystemError(QStringLiteral("Cannot write to a closed audio file %1").arg(m_path));
    if (m_format.channelCount != 1)
        throw SystemError(QStringLiteral("Cannot write mono samples to the %1-channel file %2")
                              .arg(m_format.channelCount)
                              .arg(m_path));
    if (frames == 0)
        return;
    const sf_count_t written = sf_writef_float(m_file, samples, static_cast<sf_count_t>(frames));
    if (written > 0)
        m_frames += written;
    if (written != static_cast<sf_count_t>(frames))
        throw SystemError(
            QStringLiteral("Cannot write audio file %1: %2").arg(m_path, writerMessage(m_file)));
}

void AudioFileWriter::updateHeader() {
    // libsndfile seeks back to the header, rewrites the RIFF, fact and data sizes for the frames
    // written so far and returns to the end, where the next write continues.
    if (m_file)
        sf_command(m_file, SFC_UPDATE_HEADER_NOW, nullptr, 0);
}

void AudioFileWriter::close() {
    if (!m_file)
        return;
    SNDFILE* file = m_file;
    m_file = nullptr;
    const int result = sf_close(file);
    if (result != SF_ERR_NO_ERROR)
        throw SystemError(QStringLiteral("Cannot complete audio file %1: %2")
                              .arg(m_path, QString::fromUtf8(sf_error_number(result))));
}

} // namespace murmurly
