#include "app/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QThread>
#include <QUrl>

#include <unistd.h>

namespace murmurly {

namespace {
Q_LOGGING_CATEGORY(lcInstance, "com.murmurly.app.SingleInstance")

// Long enough for "transcribe " and a percent-encoded path of PATH_MAX bytes.
constexpr qint64 maxCommandLength = 16384;
const QByteArray transcribePrefix = QByteArrayLiteral("transcribe ");
} // namespace

SingleInstance::SingleInstance(QString directory, QObject* parent)
    : QObject(parent)
    , m_directory(std::move(directory)) {
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
}

SingleInstance::~SingleInstance() {
    if (m_primary) {
        // Only the lock owner may remove the socket: a second process must never delete the
        // running instance's endpoint.
        m_server.close();
        QLocalServer::removeServer(socketPath());
    }
}

QString SingleInstance::defaultDirectory() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return runtime;
    const QString dir = QDir::tempPath() + QStringLiteral("/murmurly-") + QString::number(getuid());
    if (QDir().mkpath(dir))
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return dir;
}

QString SingleInstance::socketPath() const {
    return m_directory + QStringLiteral("/murmurly.socket");
}

QString SingleInstance::lockPath() const {
    return m_directory + QStringLiteral("/murmurly.lock");
}

bool SingleInstance::claim() {
    if (m_primary)
        return true;
    QDir().mkpath(m_directory);
    m_lock = std::make_unique<QLockFile>(lockPath());
    // A running instance holds the lock for days; age alone must never make it look stale. A lock
    // whose process is gone is detected as stale by QLockFile itself and taken over.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        if (m_lock->error() == QLockFile::LockFailedError)
            return false;
        qCWarning(lcInstance, "Cannot create the instance lock %s; running without single-instance check",
                  qUtf8Printable(lockPath()));
        m_lock.reset();
        m_primary = true;
        return true;
    }
    m_primary = true;
    // Whatever socket file exists now was left by a process that died without cleaning up.
    QLocalServer::removeServer(socketPath());
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(socketPath()))
        qCWarning(lcInstance, "Cannot listen on %s: %s", qUtf8Printable(socketPath()),
                  qUtf8Printable(m_server.errorString()));
    return true;
}

QByteArray SingleInstance::encode(Command command) {
    switch (command) {
    case Command::Show:
        return QByteArrayLiteral("show\n");
    case Command::Toggle:
        return QByteArrayLiteral("toggle\n");
    }
    return {};
}

std::optional<SingleInstance::Command> SingleInstance::decode(QByteArray line) {
    line = line.trimmed();
    if (line == "show")
        return Command::Show;
    if (line == "toggle")
        return Command::Toggle;
    return std::nullopt;
}

std::optional<QString> SingleInstance::send(Command command, int timeoutMs) const {
    return sendLine(encode(command), timeoutMs);
}

std::optional<QString> SingleInstance::sendTranscribe(const QString& path, int timeoutMs) const {
    // Percent-encoded: a path may hold line breaks and any other byte.
    return sendLine(transcribePrefix + QUrl::toPercentEncoding(path) + '\n', timeoutMs);
}

std::optional<QString> SingleInstance::sendLine(const QByteArray& line, int timeoutMs) const {
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    // The other process may hold the lock but not be listening yet (it is still starting).
    for (;;) {
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(int(std::max<qint64>(1, deadline.remainingTime()))))
            break;
        if (deadline.hasExpired())
            return QStringLiteral("Murmurly is running but does not answer on %1: %2")
                .arg(socketPath(), socket.errorString());
        socket.abort();
        QThread::msleep(50);
    }
    socket.write(line);
    if (!socket.waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime()))))
        return QStringLiteral("Could not send the command to Murmurly: %1").arg(socket.errorString());
    while (!socket.canReadLine()) {
        if (deadline.hasExpired() ||
            !socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
            return QStringLiteral("Murmurly did not confirm the command: %1").arg(socket.errorString());
    }
    const QByteArray reply = socket.readLine().trimmed();
    if (reply != "ok")
        return QStringLiteral("Murmurly rejected the command: %1").arg(QString::fromUtf8(reply));
    return std::nullopt;
}

void SingleInstance::acceptConnections() {
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readCommand(socket); });
        if (socket->bytesAvailable() > 0)
            readCommand(socket);
    }
}

void SingleInstance::readCommand(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        // Anyone on this socket is the same user, but a client that never ends its line must not
        // make us buffer without limit.
        if (socket->bytesAvailable() > maxCommandLength)
            socket->abort();
        return;
    }
    const QByteArray line = socket->readLine(maxCommandLength + 1);
    if (line.startsWith(transcribePrefix)) {
        const QString path =
            QString::fromUtf8(QByteArray::fromPercentEncoding(line.mid(transcribePrefix.size()).trimmed()));
        socket->write("ok\n");
        socket->flush();
        socket->disconnectFromServer();
        emit transcribeRequested(path);
        return;
    }
    const auto command = decode(line);
    if (!command) {
        qCWarning(lcInstance, "Ignoring an unknown command from another launch");
        socket->write("unknown\n");
        socket->disconnectFromServer();
        return;
    }
    socket->write("ok\n");
    socket->flush();
    socket->disconnectFromServer();
    emit commandReceived(*command);
}

} // namespace murmurly
