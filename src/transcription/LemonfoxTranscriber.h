#pragma once

#include "common/CancellationToken.h"
#include "transcription/LemonfoxTranscriptionResponse.h"
#include "transcription/TranscriptionErrors.h"

#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

namespace murmurly {

// The client of Lemonfox's transcription service: one multipart upload of at most 100 MB (after
// Opus compression), a detailed answer with speaker labels. Lives on the main thread; its calls
// are coroutines that suspend while the file is prepared and while the service answers.
class LemonfoxTranscriber : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 kUploadLimit = 100LL * 1024 * 1024;
    static constexpr std::chrono::milliseconds kRequestTimeout{120'000};
    static constexpr std::chrono::milliseconds kResourceTimeout{600'000};

    explicit LemonfoxTranscriber(QObject* parent = nullptr);
    ~LemonfoxTranscriber() override;

    // The API key from "~/.lemonfox_api_key", else LEMONFOX_API_KEY; cached until reset.
    static std::optional<QString> apiKey();
    static void resetCachedApiKey();

    // Uploads the recording and returns the service's answer. `language` is sent as given unless
    // it is blank. Throws TranscriptionError, ErrorMessage, DecodingError or OperationCancelled.
    QCoro::Task<LemonfoxTranscriptionResponse> transcribe(QString fileURL, std::optional<QString> language,
                                                          CancellationToken token = {});

    // For tests of the time-out paths; the defaults are the service's.
    void setTimeouts(std::chrono::milliseconds request, std::chrono::milliseconds resource);

    // The form fields before the file part, in order.
    static QList<QPair<QString, QString>> formFields(const std::optional<QString>& language);

private:
    QNetworkAccessManager* m_network;
    std::chrono::milliseconds m_requestTimeout = kRequestTimeout;
    std::chrono::milliseconds m_resourceTimeout = kResourceTimeout;
};

} // namespace murmurly
