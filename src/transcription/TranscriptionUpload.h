#pragma once

#include "common/CancellationToken.h"
#include "transcription/ApiKeyCache.h"
#include "transcription/MultipartBody.h"
#include "transcription/TranscriptionErrors.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace murmurly {

// A failed send as the clients word it: whether it was a time-out, and the network layer's text.
struct NetworkFailure {
    bool timedOut = false;
    QString description;
};

// What tells the two services apart in the shared upload skeleton.
struct ServiceProfile {
    TranscriptionService service = TranscriptionService::lemonfox;
    QUrl endpoint;
    // Request time-out: the longest silence on the connection; resource time-out: the longest
    // whole call. Both abort the request.
    std::chrono::milliseconds requestTimeout{0};
    std::chrono::milliseconds resourceTimeout{0};
    // Largest prepared file a batch call sends, in bytes; no limit when absent.
    std::optional<qint64> sizeLimit;
    ApiKeyCache* keyCache = nullptr;
    // The text fields, in order, before the file part.
    std::function<MultipartBody::Fields(const std::optional<QString>& language)> fields;
    // The message of a batch call whose sending failed.
    std::function<QString(const NetworkFailure&)> uploadFailureText;
    // The message of a streamed call whose sending failed.
    std::function<QString(const NetworkFailure&)> streamFailureText;
};

// The steps both clients share: key, preparation, size checks, body file, request, answer
// classification and clean-up of every temporary file on every exit. Coroutines on the thread
// that owns `network` (the main thread); file work runs on the thread pool meanwhile. A cancelled
// token aborts the pending request and ends the call with OperationCancelled.
namespace TranscriptionUpload {

// The batch call: returns the body of a 2xx answer. Throws TranscriptionError, ErrorMessage or
// OperationCancelled.
QCoro::Task<QByteArray> sendBatch(QNetworkAccessManager* network, ServiceProfile profile, QString filePath,
                                  std::optional<QString> language, CancellationToken token);

// The streamed call: hands every line of a 2xx answer to `onLine` (without its line break) as the
// bytes arrive; returns once the answer has ended.
QCoro::Task<void> sendStream(QNetworkAccessManager* network, ServiceProfile profile, QString filePath,
                             std::optional<QString> language, std::function<void(const QString&)> onLine,
                             CancellationToken token);

// Sends the manager's requests through the proxy the system configuration names for them.
void useSystemProxy(QNetworkAccessManager* network);

// The service host: the environment variable's value when set and non-empty, else the default.
QUrl serviceBaseUrl(const char* environmentVariable, const QString& defaultUrl);

// The status text of a failed streamed call: up to six non-empty trimmed lines of the answer
// joined with line feeds, or "Streaming request failed with HTTP <code>." when there are none.
QString streamErrorText(int statusCode, const QStringList& keptLines);

} // namespace TranscriptionUpload

} // namespace murmurly
