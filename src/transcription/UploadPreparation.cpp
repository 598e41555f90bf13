#include "transcription/UploadPreparation.h"

#include "audio/AudioConverter.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "audio/OpusCopy.h"
#include "audio/OpusEncoder.h"
#include "audio/WavHeaderRepair.h"
#include "common/PrivateFiles.h"
#include "storage/SessionStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QUuid>

#include <array>

namespace murmurly {

Q_LOGGING_CATEGORY(lcUploadPreparation, "com.murmurly.app.UploadPreparation")

namespace {

constexpr std::uint32_t kBlockFrames = 4096;

constexpr std::array<QStringView, 11> kUploadable{u"wav", u"m4a", u"mp3",  u"mp4", u"webm", u"flac",
                                                  u"aac", u"ogg", u"opus", u"mov", u"mpeg"};
constexpr std::array<QStringView, 9> kDecodable{u"wav",  u"m4a", u"mp3", u"mp4", u"webm",
                                                u"flac", u"aac", u"mov", u"mpeg"};

template <std::size_t N>
bool contains(const std::array<QStringView, N>& list, const QString& value) {
    for (QStringView entry : list) {
        if (entry == value) {
            return true;
        }
    }
    return false;
}

QString lowerExtension(const QString& path) {
    return QFileInfo(path).suffix().toLower();
}

void requireSamples(const AudioFileReader& reader) {
    if (reader.length() == 0) {
        throw ErrorMessage(QStringLiteral("Audio file has no readable samples."));
    }
}

} // namespace

PreparedFileCleanup::~PreparedFileCleanup() {
    if (m_file.shouldCleanup) {
        QFile::remove(m_file.url);
    }
}

bool UploadPreparation::isDirectlyUploadable(const QString& lowerExtension) {
    return contains(kUploadable, lowerExtension);
}

bool UploadPreparation::isDecodable(const QString& lowerExtension) {
    return contains(kDecodable, lowerExtension);
}

QString UploadPreparation::mimeTypeForExtension(const QString& extension) {
    const QString ext = extension.toLower();
    if (ext == u"m4a") {
        return QStringLiteral("audio/m4a");
    }
    if (ext == u"wav") {
        return QStringLiteral("audio/wav");
    }
    if (ext == u"mp3") {
        return QStringLiteral("audio/mpeg");
    }
    if (ext == u"mp4") {
        return QStringLiteral("audio/mp4");
    }
    if (ext == u"webm") {
        return QStringLiteral("audio/webm");
    }
    if (ext == u"ogg") {
        return QStringLiteral("audio/ogg");
    }
    if (ext == u"opus") {
        return QStringLiteral("audio/opus");
    }
    return QStringLiteral("application/octet-stream");
}

QString UploadPreparation::convertToWav(const QString& path, TranscriptionService service) {
    const auto reader = AudioFileReader::open(path);
    requireSamples(*reader);

    const AudioFormat source = reader->processingFormat();
    const AudioFormat target{source.sampleRate, source.channelCount, SampleType::Int16, true};
    if (!target.isValid()) {
        throw TranscriptionError(service, TranscriptionError::Kind::invalidResponse);
    }

    const QString output =
        QDir(QDir::tempPath())
            .filePath(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".wav"));
    // A failed conversion must not leave a half-written WAV behind in the temporary folder.
    struct RemoveUnlessKept {
        QString path;
        bool keep = false;
        ~RemoveUnlessKept() {
            if (!keep) {
                QFile::remove(path);
            }
        }
    } outputGuard{output};

    auto writer = AudioFileWriter::create(output, target);
    const auto converter = AudioConverter::create(source, target);
    if (!converter) {
        throw TranscriptionError(service, TranscriptionError::Kind::invalidResponse);
    }
    auto inputBuffer = PcmBuffer::create(source, kBlockFrames);
    auto outputBuffer = PcmBuffer::create(target, kBlockFrames);
    if (!inputBuffer || !outputBuffer) {
        throw TranscriptionError(service, TranscriptionError::Kind::invalidResponse);
    }

    // A read error ends the input quietly: the audio read up to there is still worth uploading.
    const AudioConverter::InputBlock pull = reader->inputBlock(*inputBuffer, [](const Error& error) {
        qCWarning(lcUploadPreparation, "Read error while converting: %s",
                  qUtf8Printable(error.description()));
    });

    for (;;) {
        outputBuffer->setFrameLength(0);
        QString conversionError;
        const auto status = converter->convert(*outputBuffer, pull, &conversionError);
        if (status == AudioConverter::OutputStatus::Error) {
            if (conversionError.isEmpty()) {
                throw TranscriptionError(service, TranscriptionError::Kind::invalidResponse);
            }
            throw SystemError(conversionError);
        }
        if (outputBuffer->frameLength() > 0) {
            writer->write(*outputBuffer);
        }
        if (status == AudioConverter::OutputStatus::EndOfStream) {
            break;
        }
    }
    writer->close();
    outputGuard.keep = true;
    return output;
}

PreparedFile UploadPreparation::prepareUploadFile(const QString& path, TranscriptionService service,
                                                  const CancellationToken& token) {
    const QString ext = lowerExtension(path);
    QString working = path;
    bool converted = false;

    if (isDirectlyUploadable(ext)) {
        if (ext == u"wav") {
            WavHeaderRepair::repairIfNeeded(path);
        }
        if (isDecodable(ext)) {
            const auto reader = AudioFileReader::open(path);
            requireSamples(*reader);
        } else {
            const QFileInfo info(path);
            if (!info.exists() || info.size() == 0) {
                throw ErrorMessage(QStringLiteral("Audio file is empty."));
            }
        }
    } else {
        working = convertToWav(path, service);
        converted = true;
    }

    const QString workingExt = lowerExtension(working);
    if (workingExt == u"opus" || workingExt == u"ogg") {
        return {working, converted};
    }

    // A session recording gets its Opus copy at the session's place, where it stays (and appears
    // only once complete); anything else is compressed to a temporary file that this call's caller
    // deletes. The temporary name is chosen here rather than by the encoder so that a failed
    // encoding's partial file can be removed.
    const std::optional<QString> destination = SessionStore::opusURL(working);
    const QString outputPath =
        destination.value_or(QDir(QDir::tempPath())
                                 .filePath(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() +
                                           QStringLiteral(".opus")));
    if (!destination) {
        PrivateFiles::createExclusively(outputPath); // the encoder keeps this owner-only mode
    }
    try {
        const QString encoded =
            destination ? OpusCopy::write(working, *destination, OpusCopy::Existing::replace, token)
                        : OpusEncoder::encodeToOpus(working, outputPath, token);
        if (converted) {
            QFile::remove(working);
        }
        return {encoded, !destination.has_value()};
    } catch (const OperationCancelled&) {
        if (!destination) {
            QFile::remove(outputPath);
        }
        if (converted) {
            QFile::remove(working);
        }
        throw;
    } catch (const Error& error) {
        // Compression only makes the upload smaller; without it the WAV itself goes up.
        qCWarning(lcUploadPreparation, "Opus encoding failed, uploading the WAV: %s",
                  qUtf8Printable(error.description()));
        if (!destination) {
            QFile::remove(outputPath);
        }
        return {working, converted};
    }
}

} // namespace murmurly
