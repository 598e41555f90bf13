#include "audio/OpusEncoder.h"

#include "audio/AudioConverter.h"
#include "audio/AudioFileReader.h"
#include "audio/PcmBuffer.h"

#include <QDir>
#include <QFile>
#include <QUuid>

#include <opusenc.h>

namespace murmurly {

namespace {

constexpr std::uint32_t kBlockFrames = 4096;
constexpr opus_int32 kOutputRate = 48000;

QString libraryText(int code) {
    return QString::fromUtf8(ope_strerror(code));
}

QString defaultOutputPath() {
    return QDir(QDir::tempPath())
        .filePath(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".opus"));
}

// Owns the comment set and the encoder. Every exit after the encoder exists drains it first, so that
// whatever was encoded up to a failure still ends as a well-formed (if short) Ogg stream.
class EncoderHandle {
public:
    EncoderHandle(const QString& path, int channels) {
        m_comments = ope_comments_create();
        if (!m_comments) {
            throw OpusError::failedToCreateEncoder(OPE_ALLOC_FAIL);
        }
        int error = OPE_OK;
        const QByteArray nativePath = QFile::encodeName(path);
        m_encoder =
            ope_encoder_create_file(nativePath.constData(), m_comments, kOutputRate, channels, 0, &error);
        if (!m_encoder) {
            ope_comments_destroy(m_comments);
            m_comments = nullptr;
            throw OpusError::failedToCreateEncoder(error);
        }
    }
    ~EncoderHandle() {
        if (!m_drained) {
            ope_encoder_drain(m_encoder);
        }
        ope_encoder_destroy(m_encoder);
        ope_comments_destroy(m_comments);
    }
    EncoderHandle(const EncoderHandle&) = delete;
    EncoderHandle& operator=(const EncoderHandle&) = delete;

    void write(const std::int16_t* samples, std::uint32_t frames) {
        const int result = ope_encoder_write(m_encoder, samples, static_cast<int>(frames));
        if (result < 0) {
            throw OpusError::encodingFailed(result);
        }
    }

    // The normal end. Draining writes the last pages and closes the file, so this is where a full
    // disk shows up: a copy whose end never reached the disk must not count as finished.
    void finish() {
        m_drained = true;
        const int result = ope_encoder_drain(m_encoder);
        if (result != OPE_OK) {
            throw OpusError::encodingFailed(result);
        }
    }

private:
    bool m_drained = false;
    OggOpusComments* m_comments = nullptr;
    OggOpusEnc* m_encoder = nullptr;
};

} // namespace

OpusError OpusError::failedToCreateEncoder(int code) {
    return {Kind::failedToCreateEncoder,
            QStringLiteral("Failed to create Opus encoder: ") + libraryText(code)};
}

OpusError OpusError::encodingFailed(int code) {
    return {Kind::encodingFailed, QStringLiteral("Opus encoding failed: ") + libraryText(code)};
}

QString OpusEncoder::encodeToOpus(const QString& input, std::optional<QString> output,
                                  const CancellationToken& token) {
    const auto reader = AudioFileReader::open(input);
    if (reader->length() == 0) {
        throw OpusError::conversionFailed(QStringLiteral("Audio file has no readable samples."));
    }

    const AudioFormat inputFormat = reader->processingFormat();
    const std::uint32_t channels = inputFormat.channelCount < 2 ? 1 : 2;
    const AudioFormat outputFormat{double(kOutputRate), channels, SampleType::Int16, true};
    if (!outputFormat.isValid()) {
        throw OpusError::conversionFailed(QStringLiteral("Failed to create Opus output format."));
    }

    const QString outputPath = output.value_or(defaultOutputPath());
    EncoderHandle encoder(outputPath, static_cast<int>(channels));

    const auto converter = AudioConverter::create(inputFormat, outputFormat);
    if (!converter) {
        throw OpusError::conversionFailed(QStringLiteral("Failed to create audio converter."));
    }
    auto inputBuffer = PcmBuffer::create(inputFormat, kBlockFrames);
    auto outputBuffer = PcmBuffer::create(outputFormat, kBlockFrames);
    if (!inputBuffer || !outputBuffer) {
        throw OpusError::conversionFailed(QStringLiteral("Unknown conversion error."));
    }

    // A read error mid-file ends the input as if the file ended there: what was read still gets
    // encoded, which is more useful for a damaged recording than nothing at all.
    const AudioConverter::InputBlock pull = reader->inputBlock(*inputBuffer);

    for (;;) {
        token.throwIfCancelled();
        outputBuffer->setFrameLength(0);
        QString conversionError;
        const auto status = converter->convert(*outputBuffer, pull, &conversionError);
        if (status == AudioConverter::OutputStatus::Error) {
            throw OpusError::conversionFailed(
                conversionError.isEmpty() ? QStringLiteral("Unknown conversion error.") : conversionError);
        }
        if (outputBuffer->frameLength() > 0) {
            const std::int16_t* samples = outputBuffer->int16ChannelData(0);
            if (!samples) {
                throw OpusError::conversionFailed(QStringLiteral("Missing PCM channel data."));
            }
            encoder.write(samples, outputBuffer->frameLength());
        }
        if (status == AudioConverter::OutputStatus::EndOfStream) {
            break;
        }
    }
    encoder.finish();
    return outputPath;
}

} // namespace murmurly
