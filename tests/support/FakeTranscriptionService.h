#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTcpServer>
#include <QUrl>

#include <functional>
#include <optional>

class QTcpSocket;

namespace murmurly::test {

// One request as it arrived, byte for byte.
struct RecordedRequest {
    QByteArray method;
    QByteArray target; // path and query, exactly as sent
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body; // empty when the service was told not to keep bodies
    qint64 bodyLength = 0;

    // The value of the first header of that name (case-insensitive), or absent.
    std::optional<QByteArray> header(const QByteArray& name) const;
};

// How the service answers the next requests.
struct FakeAnswer {
    enum class Mode {
        normal,         // a full HTTP answer
        notHttp,        // bytes that are not HTTP, then the connection closes
        closeMidAnswer, // the head and half of the body (or the first events), then the connection closes
        neverAnswer,    // reads the request and stays silent
        closeAtOnce,    // closes the connection as soon as the request has arrived
        cutMidChunk,    // a chunked stream: the first event, then half a chunk, then the connection closes
    };
    Mode mode = Mode::normal;
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body{}; // when empty for a 2xx answer: the service's usual answer
    int pieceSize = 0; // > 0: the answer goes out in pieces of this many bytes
    int pauseMs = 0;   // between pieces, or between streamed events
    // A streamed answer (chunked text/event-stream): these events, each already ending in a blank
    // line. Empty for a Mistral request with stream=true: the service's usual events.
    QList<QByteArray> events{};
    // Streams the first event, then waits for release() before sending the rest (a safety timer
    // releases it after a while so that a faulty client cannot hang a test forever).
    bool holdAfterFirstEvent = false;
};

// A local stand-in for the Lemonfox or Mistral transcription service: a real HTTP/1.1 server on
// 127.0.0.1 (random port) that records every request and answers as told. POST
// /v1/audio/transcriptions is the only route; the answers have the services' shapes.
class FakeTranscriptionService : public QObject {
    Q_OBJECT

public:
    enum class Kind { lemonfox, mistral };

    explicit FakeTranscriptionService(Kind kind, QObject* parent = nullptr);
    ~FakeTranscriptionService() override;

    bool listen(quint16 port = 0);
    QUrl baseUrl() const;

    void setAnswer(FakeAnswer answer) { m_answer = std::move(answer); }
    // Large uploads (benchmarks): count the body's bytes without keeping them.
    void setKeepBodies(bool keep) { m_keepBodies = keep; }

    const QList<RecordedRequest>& requests() const { return m_requests; }
    // Lets a held stream go on.
    void release();
    // True once the last byte of the latest answer has been written and the connection closed.
    bool answerFinished() const { return m_answerFinished; }

    // "event: <type>\ndata: <json>\n\n"
    static QByteArray event(const QByteArray& type, const QByteArray& json);

signals:
    void requestReceived();
    void released();

private:
    struct Connection {
        QByteArray buffer;
        std::optional<RecordedRequest> request;
        qint64 expectedBody = -1;
        bool answered = false;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void answerRequest(QTcpSocket* socket, const RecordedRequest& request);
    // Writes the first of `writes`, then the rest after a pause (or once released, when `hold`),
    // and closes the connection after the last.
    void send(QTcpSocket* socket, QList<QByteArray> writes, bool hold);

    Kind m_kind;
    QTcpServer m_server;
    FakeAnswer m_answer;
    bool m_keepBodies = true;
    bool m_released = false;
    bool m_answerFinished = false;
    QList<RecordedRequest> m_requests;
    QHash<QTcpSocket*, Connection> m_connections;
};

} // namespace murmurly::test
