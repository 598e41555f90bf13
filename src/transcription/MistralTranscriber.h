#pragma once

#include "common/CancellationToken.h"
#include "transcription/LemonfoxTranscriptionResponse.h"
#include "transcription/MistralTypes.h"
#include "transcription/TranscriptionErrors.h"
#include "transcription/TranscriptionUpload.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace murmurly {

// The client of Mistral's transcription service (model "voxtral-mini-latest"): a batch upload for
// finished recordings and a streamed one, answered as server-sent events, for the live preview.
// Lives on the main thread; its calls are coroutines.
class MistralTranscriber : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kRequestTimeout{600'000};
    static constexpr std::chrono::milliseconds kResourceTimeout{3'600'000};
    using TextDelta = std::function<void(const QString&)>;

    explicit MistralTranscriber(QObject* parent = nullptr);
    ~MistralTranscriber() override;

    // The API key from "~/.mistral_api_key", else MISTRAL_API_KEY; cached until reset.
    static std::optional<QString> apiKey();
    static void resetCachedApiKey();

    // Throws TranscriptionError, ErrorMessage, DecodingError or OperationCancelled.
    QCoro::Task<LemonfoxTranscriptionResponse> transcribe(QString fileURL, std::optional<QString> language,
                                                          CancellationToken token = {});

    // Streams the answer: every text piece goes to `onTextDelta` as its event arrives (on the
    // thread running the call, before it returns, never after). Pieces already delivered are not
    // taken back when the call fails.
    QCoro::Task<LemonfoxTranscriptionResponse> transcribeStream(QString fileURL,
                                                                std::optional<QString> language,
                                                                TextDelta onTextDelta,
                                                                CancellationToken token = {});

    void setTimeouts(std::chrono::milliseconds request, std::chrono::milliseconds resource);

    // The form fields before the file part, in order.
    static QList<QPair<QString, QString>> formFields(const std::optional<QString>& language, bool stream);
    // The message of a failed send, with its own wording for a time-out.
    static QString mapNetworkError(const QString& prefix, const NetworkFailure& failure);

private:
    ServiceProfile profile(bool stream) const;

    QNetworkAccessManager* m_network;
    QUrl m_batchEndpoint;
    QUrl m_streamEndpoint;
    std::chrono::milliseconds m_requestTimeout = kRequestTimeout;
    std::chrono::milliseconds m_resourceTimeout = kResourceTimeout;
};

} // namespace murmurly
