#include "audio/OpusEncoder.h"

#include "audio/AudioConverter.h"
#include "audio/AudioFileReader.h"
#include "audio/PcmBuffer.h"

#include <QDir>
#include <QFile>
#include <QUuid>

#include <opusenc.h>

#include <cstdio>
#include <utility>

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

// The output file behind the encoder. libopusenc's own file output (ope_encoder_create_file)
// closes its file a second time in ope_encoder_destroy when the close inside the drain failed (a
// full disk), which crashes; with these callbacks the file is closed exactly once and every failed
// write is seen.
struct OutputFile {
    std::FILE* file = nullptr;

    static int write(void* user, const unsigned char* data, opus_int32 length) {
        auto* out = static_cast<OutputFile*>(user);
        const auto size = static_cast<std::size_t>(length);
        return out->file != nullptr && std::fwrite(data, 1, size, out->file) == size ? 0 : 1;
    }
    static int close(void* user) {
        auto* out = static_cast<OutputFile*>(user);
        std::FILE* file = std::exchange(out->file, nullptr);
        return file == nullptr || std::fclose(file) == 0 ? 0 : 1;
    }
};

// Owns the comment set, the output file and the encoder. Every exit after the encoder exists
// drains it first, so that whatever was encoded up to a failure still ends as a well-formed (if
// short) Ogg stream.
class EncoderHandle {
public:
    EncoderHandle(const QString& path, int channels) {
        m_comments = ope_comments_create();
        if (!m_comments) {
            throw OpusError::failedToCreateEncoder(OPE_ALLOC_FAIL);
        }
        m_output.file = std::fopen(QFile::encodeName(path).constData(), "wb");
        if (!m_output.file) {
            ope_comments_destroy(m_comments);
            throw OpusError::failedToCreateEncoder(OPE_CANNOT_OPEN);
        }
        static const OpusEncCallbacks callbacks{&OutputFile::write, &OutputFile::close};
        int error = OPE_OK;
        m_encoder =
            ope_encoder_create_callbacks(&callbacks, &m_output, m_comments, kOutputRate, channels, 0, &error);
        if (!m_encoder) {
            OutputFile::close(&m_output);
            ope_comments_destroy(m_comments);
            throw OpusError::failedToCreateEncoder(error);
        }
    }
    ~EncoderHandle() {
        // An encoder that was given no samples must not be drained: libopusenc asserts on it. An
        // encoding cancelled before its first block ends that way.
        if (!m_drained && m_framesWritten > 0) {
            ope_encoder_drain(m_encoder);
        }
        ope_encoder_destroy(m_encoder);
        OutputFile::close(&m_output);
        ope_comments_destroy(m_comments);
    }
    EncoderHandle(const EncoderHandle&) = delete;
    EncoderHandle& operator=(const EncoderHandle&) = delete;

    void write(const std::int16_t* samples, std::uint32_t frames) {
        const int result = ope_encoder_write(m_encoder, samples, static_cast<int>(frames));
        if (result < 0) {
            throw OpusError::encodingFailed(result);
        }
        m_framesWritten += frames;
    }

    // The normal end. Draining writes the last pages and closes the file, so this is where a full
    // disk shows up: a copy whose end never reached the disk must not count as finished.
    void finish() {
        m_drained = true;
        if (m_framesWritten == 0) {
            throw OpusError::conversionFailed(QStringLiteral("Audio file has no readable samples."));
        }
        const int result = ope_encoder_drain(m_encoder);
        if (result != OPE_OK) {
            throw OpusError::encodingFailed(result);
        }
    }

private:
    bool m_drained = false;
    std::uint64_t m_framesWritten = 0;
    OutputFile m_output;
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
