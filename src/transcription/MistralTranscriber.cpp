#include "transcription/MistralTranscriber.h"

#include "storage/PlainTextStore.h"
#include "transcription/ApiKeyCache.h"
#include "transcription/ResponseDecoding.h"
#include "transcription/StreamAccumulator.h"

#include <QNetworkAccessManager>

namespace murmurly {

namespace {

ApiKeyCache& keyCache() {
    static ApiKeyCache cache([]() { return PlainTextStore::mistralApiKeyURL(); }, "MISTRAL_API_KEY");
    return cache;
}

} // namespace

MistralTranscriber::MistralTranscriber(QObject* parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this)) {
    TranscriptionUpload::useSystemProxy(m_network);
    QUrl base = TranscriptionUpload::serviceBaseUrl("MURMURLY_MISTRAL_BASE_URL",
                                                    QStringLiteral("https://api.mistral.ai"));
    base.setPath(base.path() + QStringLiteral("/v1/audio/transcriptions"));
    m_batchEndpoint = base;
    // The fragment never reaches the service; what makes it stream is the "stream" form field.
    m_streamEndpoint = base;
    m_streamEndpoint.setFragment(QStringLiteral("stream"));
}

MistralTranscriber::~MistralTranscriber() = default;

std::optional<QString> MistralTranscriber::apiKey() {
    return keyCache().apiKey();
}

void MistralTranscriber::resetCachedApiKey() {
    keyCache().reset();
}

void MistralTranscriber::setTimeouts(std::chrono::milliseconds request, std::chrono::milliseconds resource) {
    m_requestTimeout = request;
    m_resourceTimeout = resource;
}

QList<QPair<QString, QString>> MistralTranscriber::formFields(const std::optional<QString>& language,
                                                              bool stream) {
    QList<QPair<QString, QString>> fields{{QStringLiteral("model"), QStringLiteral("voxtral-mini-latest")}};
    if (stream) {
        fields.append({QStringLiteral("stream"), QStringLiteral("true")});
    }
    if (const auto code = normalizedMistralLanguage(language)) {
        fields.append({QStringLiteral("language"), *code});
    }
    return fields;
}

QString MistralTranscriber::mapNetworkError(const QString& prefix, const NetworkFailure& failure) {
    if (failure.timedOut) {
        return prefix +
               QStringLiteral(": Request to Mistral timed out. Large uploads can take longer; try again "
                              "or shorten the clip.");
    }
    return prefix + QStringLiteral(": ") + failure.description;
}

ServiceProfile MistralTranscriber::profile(bool stream) const {
    ServiceProfile profile;
    profile.service = TranscriptionService::mistral;
    profile.endpoint = stream ? m_streamEndpoint : m_batchEndpoint;
    profile.requestTimeout = m_requestTimeout;
    profile.resourceTimeout = m_resourceTimeout;
    profile.keyCache = &keyCache();
    profile.fields = [stream](const std::optional<QString>& language) {
        return formFields(language, stream);
    };
    profile.uploadFailureText = [](const NetworkFailure& failure) {
        return mapNetworkError(QStringLiteral("Upload failed"), failure);
    };
    profile.streamFailureText = [](const NetworkFailure& failure) {
        return mapNetworkError(QStringLiteral("Streaming upload failed"), failure);
    };
    return profile;
}

QCoro::Task<LemonfoxTranscriptionResponse>
MistralTranscriber::transcribe(QString fileURL, std::optional<QString> language, CancellationToken token) {
    const QByteArray answer = co_await TranscriptionUpload::sendBatch(
        m_network, profile(false), std::move(fileURL), std::move(language), std::move(token));
    co_return ResponseDecoding::decodeMistralResponse(answer).asLemonfoxShape();
}

QCoro::Task<LemonfoxTranscriptionResponse>
MistralTranscriber::transcribeStream(QString fileURL, std::optional<QString> language, TextDelta onTextDelta,
                                     CancellationToken token) {
    StreamAccumulator accumulator(std::move(onTextDelta));
    co_await TranscriptionUpload::sendStream(
        m_network, profile(true), std::move(fileURL), std::move(language),
        [&accumulator](const QString& line) { accumulator.consume(line); }, std::move(token));
    accumulator.processCurrentEvent();
    // The service ends every stream with its final event. A stream that stops before it was cut
    // off, even when the connection closed without an error (Qt does not notice a chunked answer
    // that breaks off mid-chunk): its text is only part of the transcript.
    if (!accumulator.done()) {
        throw ErrorMessage(QStringLiteral("Streaming response interrupted: The answer ended before the "
                                          "transcription was complete."));
    }
    co_return accumulator.result();
}

} // namespace murmurly
