#include "transcription/TranscriptionUpload.h"

#include "transcription/ReplyActivity.h"
#include "transcription/UploadPreparation.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QStringDecoder>
#include <QTimer>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroNetworkReply>

#include <algorithm>
#include <memory>
#include <variant>

namespace murmurly {

Q_LOGGING_CATEGORY(lcTranscriptionUpload, "com.murmurly.app.TranscriptionUpload")

namespace {

constexpr qint64 kMegabyte = 1024 * 1024;
constexpr int kMaxErrorLines = 6;

// The outcome of work done on the thread pool: exceptions do not cross QFuture unless they are
// QExceptions, so the error travels as a value and only its text is used by the caller.
template <typename T>
using Outcome = std::variant<T, std::shared_ptr<const Error>>;

template <typename T, typename Work>
QFuture<Outcome<T>> runOnWorker(Work work) {
    return QtConcurrent::run([work = std::move(work)]() -> Outcome<T> {
        try {
            return work();
        } catch (const Error& error) {
            return error.clone();
        } catch (const std::exception& error) {
            return std::make_shared<SystemError>(QString::fromLocal8Bit(error.what()));
        }
    });
}

QString newUuid() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

class RemoveFileOnExit {
public:
    explicit RemoveFileOnExit(QString path)
        : m_path(std::move(path)) {}
    ~RemoveFileOnExit() { QFile::remove(m_path); }
    RemoveFileOnExit(const RemoveFileOnExit&) = delete;
    RemoveFileOnExit& operator=(const RemoveFileOnExit&) = delete;

private:
    QString m_path;
};

// The request body, read from its file exactly once. When a connection closes before the answer,
// Qt rewinds the body and sends the whole request again, silently (a 100 MB upload would go out
// twice, and the service may have transcribed the first one). A body that cannot be rewound makes
// Qt report the closed connection instead, so one call is one request.
class SendOnceBody : public QIODevice {
public:
    explicit SendOnceBody(const QString& path)
        : m_file(path) {}

    bool openFile() {
        if (!m_file.open(QIODevice::ReadOnly)) {
            setErrorString(m_file.errorString());
            return false;
        }
        return open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    bool reset() override { return false; }
    qint64 bytesAvailable() const override { return m_file.bytesAvailable() + QIODevice::bytesAvailable(); }
    bool atEnd() const override { return m_file.atEnd() && QIODevice::bytesAvailable() == 0; }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        return m_file.atEnd() ? -1 : m_file.read(data, maxSize);
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QFile m_file;
};

struct ReplyDeleter {
    void operator()(QNetworkReply* reply) const {
        reply->disconnect();
        reply->abort();
        reply->deleteLater();
    }
};
using ReplyHandle = std::unique_ptr<QNetworkReply, ReplyDeleter>;

// Errors that Qt derives from an HTTP status: the answer itself arrived and is classified by its
// status code, not treated as a failed send.
bool isHttpStatusError(QNetworkReply::NetworkError error) {
    if (error == QNetworkReply::ContentReSendError) {
        return false; // the connection closed before any answer: see SendOnceBody
    }
    const int code = static_cast<int>(error);
    return (code >= 201 && code <= 299) || (code >= 401 && code <= 499);
}

std::optional<int> statusCode(QNetworkReply* reply) {
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        return std::nullopt;
    }
    return status.toInt();
}

// Everything up to the moment the request is on its way; the guards keep the temporary files
// until the call ends.
struct PendingCall {
    std::unique_ptr<PreparedFileCleanup> preparedCleanup;
    std::unique_ptr<RemoveFileOnExit> bodyCleanup;
    ReplyHandle reply;
    std::shared_ptr<bool> resourceTimedOut = std::make_shared<bool>(false);
    std::unique_ptr<QTimer> resourceTimer;
    std::unique_ptr<CancellationToken::Registration> cancelRegistration;

    // Members are destroyed in reverse order: the cancel callback is gone before the reply is.
};

QCoro::Task<void> startCall(PendingCall& call, QNetworkAccessManager* network, const ServiceProfile& profile,
                            const QString& filePath, const std::optional<QString>& language,
                            const CancellationToken& token, bool batch) {
    token.throwIfCancelled();
    const std::optional<QString> key = profile.keyCache->apiKey();
    if (!key || key->isEmpty()) {
        throw TranscriptionError(profile.service, TranscriptionError::Kind::missingApiKey);
    }
    // A line break inside the key would end the Authorization header and start another one.
    if (std::any_of(key->cbegin(), key->cend(),
                    [](QChar c) { return c.category() == QChar::Other_Control; })) {
        throw ErrorMessage(QStringLiteral("Invalid %1 API key: it contains a line break or another control "
                                          "character. Enter the key again in Settings.")
                               .arg(profile.service == TranscriptionService::mistral
                                        ? QStringLiteral("Mistral")
                                        : QStringLiteral("Lemonfox")));
    }

    const TranscriptionService service = profile.service;
    // Futures are held in named variables while awaited: temporaries that live across a suspension
    // point are where GCC's coroutine support has been fragile.
    QFuture<Outcome<PreparedFile>> preparing = runOnWorker<PreparedFile>([filePath, service, token]() {
        return UploadPreparation::prepareUploadFile(filePath, service, token);
    });
    auto prepared = co_await preparing;
    if (std::holds_alternative<PreparedFile>(prepared)) {
        // Armed before anything else can end the call, a cancellation included.
        call.preparedCleanup = std::make_unique<PreparedFileCleanup>(std::get<PreparedFile>(prepared));
    }
    token.throwIfCancelled();
    if (auto* error = std::get_if<std::shared_ptr<const Error>>(&prepared)) {
        throw ErrorMessage(QStringLiteral("Failed to prepare audio file: ") + (*error)->description());
    }
    const PreparedFile file = std::get<PreparedFile>(prepared);

    if (batch) {
        const QFileInfo info(file.url);
        const qint64 size = info.exists() ? info.size() : 0;
        if (size <= 0) {
            throw ErrorMessage(QStringLiteral("Audio file is empty."));
        }
        if (profile.sizeLimit && size > *profile.sizeLimit) {
            throw ErrorMessage(
                QString::asprintf("Audio file is too large (%.1f MB). Lemonfox upload limit is 100 MB.",
                                  static_cast<double>(size) / static_cast<double>(kMegabyte)));
        }
    }

    QNetworkRequest request(profile.endpoint);
    request.setTransferTimeout(static_cast<int>(profile.requestTimeout.count()));
    // Nothing of one call is kept for the next: no cookies, no cached credentials, no cache.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    const QString boundary = QStringLiteral("Boundary-") + newUuid();
    request.setRawHeader("Authorization", "Bearer " + key->toUtf8());
    request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + boundary.toUtf8());

    const MultipartBody::Fields fields = profile.fields(language);
    const QString uploadPath = file.url;
    QFuture<Outcome<MultipartBody::BodyFile>> building =
        runOnWorker<MultipartBody::BodyFile>([boundary, uploadPath, fields]() {
            return MultipartBody::buildBodyFile(boundary, uploadPath, fields);
        });
    auto built = co_await building;
    if (auto* error = std::get_if<std::shared_ptr<const Error>>(&built)) {
        throw ErrorMessage(QStringLiteral("Failed to prepare upload: ") + (*error)->description());
    }
    const MultipartBody::BodyFile body = std::get<MultipartBody::BodyFile>(built);
    call.bodyCleanup = std::make_unique<RemoveFileOnExit>(body.path);
    token.throwIfCancelled();

    request.setHeader(QNetworkRequest::ContentLengthHeader, body.length);

    // The body goes out straight from its file, so a long recording never sits in memory (Qt
    // would otherwise buffer a body that cannot be rewound).
    request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
    auto device = std::make_unique<SendOnceBody>(body.path);
    if (!device->openFile()) {
        const QString reason = device->errorString();
        if (batch) {
            throw ErrorMessage(profile.uploadFailureText(NetworkFailure{false, reason}));
        }
        throw ErrorMessage(QStringLiteral("Failed to read upload body: ") + reason);
    }
    QNetworkReply* reply = network->post(request, device.get());
    device.release()->setParent(reply);
    call.reply.reset(reply);

    call.resourceTimer = std::make_unique<QTimer>();
    call.resourceTimer->setSingleShot(true);
    QObject::connect(call.resourceTimer.get(), &QTimer::timeout, reply,
                     [reply, flag = call.resourceTimedOut]() {
                         *flag = true;
                         reply->abort();
                     });
    call.resourceTimer->start(profile.resourceTimeout);

    // cancel() may come from any thread: the abort is posted to the thread that owns the reply.
    QPointer<QNetworkReply> weakReply(reply);
    call.cancelRegistration = std::make_unique<CancellationToken::Registration>(token, [weakReply]() {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weakReply]() {
                if (QNetworkReply* pending = weakReply.data(); pending != nullptr) {
                    pending->abort();
                }
            },
            Qt::QueuedConnection);
    });
}

NetworkFailure failureOf(QNetworkReply* reply, const PendingCall& call, const CancellationToken& token) {
    const QNetworkReply::NetworkError error = reply->error();
    // Our own aborts come from the resource timer or a cancellation; any other "operation
    // cancelled" is Qt's transfer time-out.
    const bool timedOut = *call.resourceTimedOut || error == QNetworkReply::TimeoutError ||
                          (error == QNetworkReply::OperationCanceledError && !token.isCancelled());
    if (timedOut) {
        return {true, QStringLiteral("The request timed out.")};
    }
    // Qt's own text for a request it would have had to send again is "Unknown error".
    if (error == QNetworkReply::ContentReSendError) {
        return {false, QStringLiteral("The network connection was lost.")};
    }
    return {false, reply->errorString()};
}

// An answer that is not HTTP at all: Qt could not parse a status line.
bool isNotHttp(QNetworkReply* reply) {
    return !statusCode(reply) && (reply->error() == QNetworkReply::ProtocolFailure ||
                                  reply->error() == QNetworkReply::ProtocolUnknownError);
}

// The next line of the answer without its line break, or absent at its end.
QCoro::Task<std::optional<QByteArray>> nextLine(QNetworkReply* reply, const CancellationToken& token) {
    for (;;) {
        if (reply->canReadLine()) {
            QByteArray line = reply->readLine();
            while (line.endsWith('\n') || line.endsWith('\r')) {
                line.chop(1);
            }
            co_return line;
        }
        if (reply->isFinished()) {
            QByteArray rest = reply->readAll();
            if (rest.isEmpty()) {
                co_return std::nullopt;
            }
            while (rest.endsWith('\r')) {
                rest.chop(1);
            }
            co_return rest;
        }
        ReplyActivity activity(reply); // named: see ReplyActivity
        co_await activity;
        token.throwIfCancelled();
    }
}

} // namespace

void TranscriptionUpload::useSystemProxy(QNetworkAccessManager* network) {
    // The proxy a request needs, looked up for each request in the system's configuration
    // (https_proxy, http_proxy and no_proxy, or the desktop's settings), so a change applies to
    // the next call. The manager owns the factory.
    class SystemProxyFactory : public QNetworkProxyFactory {
    public:
        QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override {
            return systemProxyForQuery(query);
        }
    };
    network->setProxyFactory(new SystemProxyFactory);
}

QUrl TranscriptionUpload::serviceBaseUrl(const char* environmentVariable, const QString& defaultUrl) {
    const QString configured = qEnvironmentVariable(environmentVariable).trimmed();
    QString base = configured.isEmpty() ? defaultUrl : configured;
    while (base.endsWith(u'/')) {
        base.chop(1);
    }
    return QUrl(base);
}

QString TranscriptionUpload::streamErrorText(int code, const QStringList& keptLines) {
    const QString joined = keptLines.join(u'\n');
    if (!joined.isEmpty()) {
        return joined;
    }
    return QStringLiteral("Streaming request failed with HTTP %1.").arg(code);
}

QCoro::Task<QByteArray> TranscriptionUpload::sendBatch(QNetworkAccessManager* network, ServiceProfile profile,
                                                       QString filePath, std::optional<QString> language,
                                                       CancellationToken token) {
    PendingCall call;
    co_await startCall(call, network, profile, filePath, language, token, true);
    QNetworkReply* reply = call.reply.get();
    if (!reply->isFinished()) {
        co_await reply;
    }
    token.throwIfCancelled();

    const QNetworkReply::NetworkError error = reply->error();
    if (isNotHttp(reply)) {
        throw TranscriptionError(profile.service, TranscriptionError::Kind::invalidResponse);
    }
    if (error != QNetworkReply::NoError && !isHttpStatusError(error)) {
        const NetworkFailure failure = failureOf(reply, call, token);
        qCWarning(lcTranscriptionUpload, "Upload failed: %s", qUtf8Printable(reply->errorString()));
        throw ErrorMessage(profile.uploadFailureText(failure));
    }
    const std::optional<int> status = statusCode(reply);
    if (!status) {
        throw TranscriptionError(profile.service, TranscriptionError::Kind::invalidResponse);
    }
    const QByteArray answer = reply->readAll();
    if (*status < 200 || *status > 299) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(answer);
        throw ErrorMessage(decoder.hasError() ? QStringLiteral("Unknown error") : text);
    }
    co_return answer;
}

QCoro::Task<void> TranscriptionUpload::sendStream(QNetworkAccessManager* network, ServiceProfile profile,
                                                  QString filePath, std::optional<QString> language,
                                                  std::function<void(const QString&)> onLine,
                                                  CancellationToken token) {
    PendingCall call;
    co_await startCall(call, network, profile, filePath, language, token, false);
    QNetworkReply* reply = call.reply.get();

    // Wait for the head of the answer (or for the call to end without one).
    while (!reply->isFinished() && reply->bytesAvailable() == 0) {
        ReplyActivity activity(reply); // named: see ReplyActivity
        co_await activity;
        token.throwIfCancelled();
    }
    token.throwIfCancelled();

    const std::optional<int> status = statusCode(reply);
    if (!status) {
        if (isNotHttp(reply)) {
            throw TranscriptionError(profile.service, TranscriptionError::Kind::invalidResponse);
        }
        if (reply->error() != QNetworkReply::NoError) {
            throw ErrorMessage(profile.streamFailureText(failureOf(reply, call, token)));
        }
        throw TranscriptionError(profile.service, TranscriptionError::Kind::invalidResponse);
    }

    if (*status < 200 || *status > 299) {
        QStringList kept;
        while (kept.size() < kMaxErrorLines) {
            const std::optional<QByteArray> line = co_await nextLine(reply, token);
            if (!line) {
                break;
            }
            const QString trimmed = QString::fromUtf8(*line).trimmed();
            if (!trimmed.isEmpty()) {
                kept.append(trimmed);
            }
        }
        const QNetworkReply::NetworkError error = reply->error();
        if (error != QNetworkReply::NoError && !isHttpStatusError(error) && kept.size() < kMaxErrorLines) {
            kept.clear(); // the lines could not be read to their end
        }
        throw ErrorMessage(streamErrorText(*status, kept));
    }

    for (;;) {
        const std::optional<QByteArray> line = co_await nextLine(reply, token);
        if (!line) {
            break;
        }
        onLine(QString::fromUtf8(*line));
    }
    const QNetworkReply::NetworkError error = reply->error();
    if (error != QNetworkReply::NoError) {
        const NetworkFailure failure = failureOf(reply, call, token);
        throw ErrorMessage(QStringLiteral("Streaming response interrupted: ") + failure.description);
    }
}

} // namespace murmurly
