#include "support/FakeTranscriptionService.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

namespace murmurly::test {

namespace {

constexpr qint64 kKeptPrefix = 64 * 1024;
constexpr int kHoldSafetyMs = 20000;

QByteArray chunk(const QByteArray& data) {
    return QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
}

// The services' usual answers (tests/data/fake-services).
QByteArray usualAnswer(const char* name) {
    QFile file(QStringLiteral(MURMURLY_FAKE_SERVICES_DATA "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray("missing test data");
}

// Each event of the stream is an "event:" and a "data:" line.
QList<QByteArray> readMistralEvents() {
    const QList<QByteArray> lines = usualAnswer("mistral-events.txt").split('\n');
    QList<QByteArray> events;
    for (qsizetype i = 0; i + 1 < lines.size(); i += 3) {
        events.append(lines[i] + '\n' + lines[i + 1] + "\n\n");
    }
    return events;
}

// Read once per process, not for every request a test sends.
const QList<QByteArray>& usualMistralEvents() {
    static const QList<QByteArray> events = readMistralEvents();
    return events;
}

const QByteArray& usualBody(bool lemonfox) {
    static const QByteArray lemonfoxBody = usualAnswer("lemonfox-answer.json");
    static const QByteArray mistralBody = usualAnswer("mistral-answer.json");
    return lemonfox ? lemonfoxBody : mistralBody;
}

} // namespace

std::optional<QByteArray> RecordedRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

FakeTranscriptionService::FakeTranscriptionService(Kind kind, QObject* parent)
    : QObject(parent)
    , m_kind(kind) {
    connect(&m_server, &QTcpServer::newConnection, this, &FakeTranscriptionService::onNewConnection);
}

FakeTranscriptionService::~FakeTranscriptionService() {
    // Sockets are children of the server, which outlives m_connections during destruction: cut
    // them loose first so that their "disconnected" signals find nothing of ours.
    const QList<QTcpSocket*> sockets = m_connections.keys();
    m_connections.clear();
    for (QTcpSocket* socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
}

bool FakeTranscriptionService::listen(quint16 port) {
    return m_server.listen(QHostAddress::LocalHost, port);
}

QUrl FakeTranscriptionService::baseUrl() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()));
}

void FakeTranscriptionService::release() {
    m_released = true;
    emit released();
}

QByteArray FakeTranscriptionService::event(const QByteArray& type, const QByteArray& json) {
    return "event: " + type + "\ndata: " + json + "\n\n";
}

void FakeTranscriptionService::onNewConnection() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        m_connections.insert(socket, Connection{});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket]() {
            m_connections.remove(socket);
            socket->deleteLater();
        });
    }
}

void FakeTranscriptionService::onReadyRead(QTcpSocket* socket) {
    if (!m_connections.contains(socket)) {
        return;
    }
    Connection& connection = m_connections[socket];
    connection.buffer += socket->readAll();

    if (!connection.request) {
        const qsizetype headEnd = connection.buffer.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            return;
        }
        RecordedRequest request;
        const QList<QByteArray> lines = connection.buffer.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon > 0) {
                request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
            }
        }
        connection.expectedBody = request.header("Content-Length").value_or("0").toLongLong();
        connection.buffer.remove(0, headEnd + 4);
        connection.request = std::move(request);
    }

    RecordedRequest& request = *connection.request;
    // Keep the start of every body (enough for the form fields) even when bodies are not kept.
    const qint64 room =
        m_keepBodies ? connection.buffer.size() : std::max<qint64>(0, kKeptPrefix - request.body.size());
    request.body += connection.buffer.left(room);
    request.bodyLength += connection.buffer.size();
    connection.buffer.clear();

    if (request.bodyLength >= connection.expectedBody && !connection.answered) {
        connection.answered = true;
        m_requests.append(request);
        emit requestReceived();
        answerRequest(socket, request);
    }
}

void FakeTranscriptionService::answerRequest(QTcpSocket* socket, const RecordedRequest& request) {
    m_answerFinished = false;
    const FakeAnswer& answer = m_answer;
    const bool brokenOff = answer.mode == FakeAnswer::Mode::closeMidAnswer;
    const bool success = answer.status >= 200 && answer.status <= 299;
    const bool streamRequested = request.body.contains("name=\"stream\"\r\n\r\ntrue\r\n");
    // What goes out, one write each, with the answer's pause between them.
    QList<QByteArray> writes;
    if (answer.mode == FakeAnswer::Mode::neverAnswer) {
        return;
    } else if (answer.mode == FakeAnswer::Mode::closeAtOnce) {
        socket->abort();
        return;
    } else if (answer.mode == FakeAnswer::Mode::notHttp) {
        writes = {"SSH-2.0-OpenSSH_9.2 this is not a web server\r\n\r\n"};
    } else if (success && (!answer.events.isEmpty() || (m_kind == Kind::mistral && streamRequested))) {
        const QList<QByteArray> events = answer.events.isEmpty() ? usualMistralEvents() : answer.events;
        // A broken-off stream announces a length it never delivers: Qt's HTTP client does not
        // reliably report a chunked answer that stops mid-chunk, but it always reports a short
        // body of known length.
        writes = {"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n" +
                  QByteArray(brokenOff ? "Content-Length: 100000" : "Transfer-Encoding: chunked") +
                  "\r\nConnection: close\r\n\r\n" + (brokenOff ? events[0] : chunk(events[0]))};
        if (answer.mode == FakeAnswer::Mode::cutMidChunk) {
            // No length in the head and no terminating chunk: only the missing bytes of a chunk
            // that was announced in full tell that the answer broke off.
            writes.append(chunk(events[1]).left(chunk(events[1]).size() / 2));
        } else if (!brokenOff) {
            for (qsizetype i = 1; i < events.size(); ++i) {
                writes.append(chunk(events[i]));
            }
            writes.last() += "0\r\n\r\n";
        }
    } else {
        QByteArray body = answer.body;
        if (body.isEmpty() && success) {
            body = usualBody(m_kind == Kind::lemonfox);
        }
        QByteArray head =
            "HTTP/1.1 " + QByteArray::number(answer.status) + (success ? " OK\r\n" : " Failed\r\n");
        if (!body.isEmpty()) {
            head += "Content-Type: " + answer.contentType + "\r\n";
        }
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
        writes = {head + (brokenOff ? body.left(body.size() / 2) : body)};
    }
    if (answer.pieceSize > 0) {
        // A pause between pieces (at least a millisecond) makes them separate reads on the other end.
        const QByteArray all = writes.join();
        writes.clear();
        for (qsizetype at = 0; at < all.size(); at += answer.pieceSize) {
            writes.append(all.mid(at, answer.pieceSize));
        }
    }
    send(socket, writes, answer.holdAfterFirstEvent && !m_released);
}

void FakeTranscriptionService::send(QTcpSocket* socket, QList<QByteArray> writes, bool hold) {
    socket->write(writes.takeFirst());
    socket->flush();
    if (writes.isEmpty()) {
        socket->disconnectFromHost();
        m_answerFinished = true;
        return;
    }
    QPointer<QTcpSocket> guard(socket);
    auto* waiter = new QObject(this);
    auto next = [this, waiter, guard, writes] {
        waiter->deleteLater();
        if (guard && guard->state() == QAbstractSocket::ConnectedState) {
            send(guard, writes, false);
        }
    };
    if (hold) {
        connect(this, &FakeTranscriptionService::released, waiter, next);
    }
    QTimer::singleShot(hold ? kHoldSafetyMs : std::max(1, m_answer.pauseMs), waiter, next);
}

} // namespace murmurly::test
