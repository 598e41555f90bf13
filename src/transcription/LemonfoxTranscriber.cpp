#include "transcription/LemonfoxTranscriber.h"

#include "storage/PlainTextStore.h"
#include "transcription/ApiKeyCache.h"
#include "transcription/ResponseDecoding.h"
#include "transcription/TranscriptionUpload.h"

#include <QNetworkAccessManager>

namespace murmurly {

namespace {

ApiKeyCache& keyCache() {
    static ApiKeyCache cache([]() { return PlainTextStore::lemonfoxApiKeyURL(); }, "LEMONFOX_API_KEY");
    return cache;
}

} // namespace

LemonfoxTranscriber::LemonfoxTranscriber(QObject* parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this)) {
    TranscriptionUpload::useSystemProxy(m_network);
}

LemonfoxTranscriber::~LemonfoxTranscriber() = default;

std::optional<QString> LemonfoxTranscriber::apiKey() {
    return keyCache().apiKey();
}

void LemonfoxTranscriber::resetCachedApiKey() {
    keyCache().reset();
}

void LemonfoxTranscriber::setTimeouts(std::chrono::milliseconds request, std::chrono::milliseconds resource) {
    m_requestTimeout = request;
    m_resourceTimeout = resource;
}

QList<QPair<QString, QString>> LemonfoxTranscriber::formFields(const std::optional<QString>& language) {
    QList<QPair<QString, QString>> fields{
        {QStringLiteral("response_format"), QStringLiteral("verbose_json")},
        {QStringLiteral("speaker_labels"), QStringLiteral("true")},
        {QStringLiteral("translate"), QStringLiteral("false")},
    };
    // Sent untrimmed: the service gets whatever the preference holds, as long as it is not blank.
    if (language && !language->trimmed().isEmpty()) {
        fields.append({QStringLiteral("language"), *language});
    }
    return fields;
}

QCoro::Task<LemonfoxTranscriptionResponse>
LemonfoxTranscriber::transcribe(QString fileURL, std::optional<QString> language, CancellationToken token) {
    ServiceProfile profile;
    profile.service = TranscriptionService::lemonfox;
    // Made anew for every call, so a changed host setting applies to the next upload.
    QUrl endpoint = TranscriptionUpload::serviceBaseUrl("MURMURLY_LEMONFOX_BASE_URL",
                                                        QStringLiteral("https://api.lemonfox.ai"));
    endpoint.setPath(endpoint.path() + QStringLiteral("/v1/audio/transcriptions"));
    profile.endpoint = endpoint;
    profile.requestTimeout = m_requestTimeout;
    profile.resourceTimeout = m_resourceTimeout;
    profile.sizeLimit = kUploadLimit;
    profile.keyCache = &keyCache();
    profile.fields = &LemonfoxTranscriber::formFields;
    profile.uploadFailureText = [](const NetworkFailure& failure) -> QString {
        return QStringLiteral("Upload failed: ") + failure.description;
    };
    profile.streamFailureText = profile.uploadFailureText;

    const QByteArray answer = co_await TranscriptionUpload::sendBatch(
        m_network, std::move(profile), std::move(fileURL), std::move(language), std::move(token));
    co_return ResponseDecoding::decodeLemonfoxResponse(answer);
}

} // namespace murmurly
