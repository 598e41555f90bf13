#include "audio/AudioFileReader.h"

#include "audio/WavHeaderRepair.h"
#include "common/Error.h"

#include <QFile>
#include <QFileInfo>

#include <sndfile.h>

#include <algorithm>
#include <cstring>

namespace murmurly {

namespace {

QString decoderMessage(SNDFILE* file) {
    return QString::fromUtf8(sf_strerror(file));
}

} // namespace

std::unique_ptr<AudioFileReader> AudioFileReader::open(const QString& path) {
    // libsndfile would report a missing file as a generic "System error"; name the cause instead.
    const QFileInfo info(path);
    if (!info.exists())
        throw SystemError(QStringLiteral("Cannot open audio file %1: no such file").arg(path));
    if (info.isDir())
        throw SystemError(QStringLiteral("Cannot open audio file %1: it is a folder").arg(path));

    SF_INFO sfInfo;
    std::memset(&sfInfo, 0, sizeof sfInfo);
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &sfInfo);
    if (!file)
        throw SystemError(QStringLiteral("Cannot open audio file %1: %2").arg(path, decoderMessage(nullptr)));

    std::unique_ptr<AudioFileReader> reader(new AudioFileReader);
    reader->m_file = file; // owned from here on: the destructor closes it
    const AudioFormat format{static_cast<double>(sfInfo.samplerate),
                             static_cast<std::uint32_t>(std::max(sfInfo.channels, 0)), SampleType::Float32,
                             false};
    if (!format.isValid())
        throw SystemError(QStringLiteral("Cannot open audio file %1: unsupported format (%2 Hz, %3 channels)")
                              .arg(path)
                              .arg(sfInfo.samplerate)
                              .arg(sfInfo.channels));
    reader->m_format = format;
    // Some decoders (MP3 streams without a header, for one) cannot tell the length up front.
    reader->m_length = sfInfo.frames >= 0 && sfInfo.frames != SF_COUNT_MAX ? sfInfo.frames : 0;
    return reader;
}

AudioFileReader::~AudioFileReader() {
    if (m_file)
        sf_close(m_file);
}

void AudioFileReader::setFramePosition(std::int64_t frame) {
    if (frame < 0 || frame > m_length)
        throw SystemError(
            QStringLiteral("Cannot seek to frame %1 of an audio file of %2 frames").arg(frame).arg(m_length));
    if (sf_seek(m_file, frame, SEEK_SET) < 0)
        throw SystemError(QStringLiteral("Cannot seek in audio file: %1").arg(decoderMessage(m_file)));
    m_position = frame;
}

void AudioFileReader::read(PcmBuffer& buffer, std::uint32_t frames) {
    const AudioFormat& format = buffer.format();
    if (format.sampleType != SampleType::Float32 || format.channelCount != m_format.channelCount ||
        format.sampleRate != m_format.sampleRate)
        throw SystemError(QStringLiteral("Cannot read audio into a buffer of another format"));

    const std::uint32_t wanted = std::min(frames, buffer.frameCapacity());
    buffer.setFrameLength(0);
    if (wanted == 0)
        return;

    const std::uint32_t channels = m_format.channelCount;
    // A mono file, or an interleaved buffer, takes libsndfile's interleaved samples as they are.
    const bool direct = channels == 1 || format.interleaved;
    float* target = nullptr;
    if (direct) {
        target = buffer.floatChannelData(0);
    } else {
        m_interleaved.resize(std::size_t{wanted} * channels);
        target = m_interleaved.data();
    }

    const sf_count_t got = sf_readf_float(m_file, target, wanted);
    if (got < 0 || (got == 0 && sf_error(m_file) != SF_ERR_NO_ERROR))
        throw SystemError(QStringLiteral("Cannot read audio file: %1").arg(decoderMessage(m_file)));

    const auto count = static_cast<std::uint32_t>(got);
    if (!direct) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            float* out = buffer.floatChannelData(static_cast<int>(c));
            const float* in = m_interleaved.data() + c;
            for (std::uint32_t i = 0; i < count; ++i)
                out[i] = in[std::size_t{i} * channels];
        }
    }
    buffer.setFrameLength(count);
    m_position += count;
}

AudioConverter::InputBlock AudioFileReader::inputBlock(PcmBuffer& buffer,
                                                       std::function<void(const Error&)> onReadError) {
    return [this, &buffer,
            onReadError = std::move(onReadError)](AudioConverter::InputStatus& status) -> const PcmBuffer* {
        buffer.setFrameLength(0);
        try {
            read(buffer);
        } catch (const Error& error) {
            if (onReadError)
                onReadError(error);
            buffer.setFrameLength(0);
        }
        if (buffer.frameLength() == 0) {
            status = AudioConverter::InputStatus::EndOfStream;
            return nullptr;
        }
        status = AudioConverter::InputStatus::HaveData;
        return &buffer;
    };
}

namespace {
std::int64_t framesIn(const QString& path) {
    try {
        return AudioFileReader::open(path)->length();
    } catch (const Error&) {
        return 0;
    }
}
} // namespace

bool AudioFileReader::hasAudioFrames(const QString& path) {
    if (!QFileInfo(path).isFile())
        return false;
    if (framesIn(path) >= 1)
        return true;
    if (!WavHeaderRepair::repairIfNeeded(path))
        return false;
    return framesIn(path) >= 1;
}

} // namespace murmurly
