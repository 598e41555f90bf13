#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace murmurly {

// Keeps one Murmurly per user: the first process claims a lock file and listens on a local socket
// beside it; a later launch finds the lock taken and hands its command to the running process
// instead of starting a second recorder on the same sound sources and application folder.
//
// The lock file (not the socket) decides who is first: a socket file outlives a crash, a lock
// file's owner can be checked for being alive, so a process killed mid-recording never blocks the
// next launch. The socket left behind by such a crash is removed by the new owner of the lock.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Command {
        Show,   // bring the window forward
        Toggle, // start or stop recording
    };

    // `directory` holds the lock file and the socket; it must be private to the user.
    explicit SingleInstance(QString directory = defaultDirectory(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR when set (private to the user by definition), else a per-user folder in the
    // temporary directory.
    static QString defaultDirectory();

    QString socketPath() const;
    QString lockPath() const;

    // Tries to become the running instance. True: this process holds the lock and listens for
    // commands (commandReceived). False: another live process holds it; use send(). A folder in
    // which no lock can be made at all is treated as "first": the app still runs, only alone.
    bool claim();
    bool isPrimary() const { return m_primary; }

    // Hands `command` to the running instance and waits up to `timeoutMs` for its
    // acknowledgement, retrying the connection while that process is still starting up.
    // Returns an error text on failure, nothing on success.
    std::optional<QString> send(Command command, int timeoutMs = 5000) const;
    // Hands a file to transcribe (an absolute path: the running instance has its own working
    // folder) to the running instance, like send().
    std::optional<QString> sendTranscribe(const QString& path, int timeoutMs = 5000) const;

    static QByteArray encode(Command command);
    static std::optional<Command> decode(QByteArray line);

signals:
    void commandReceived(murmurly::SingleInstance::Command command);
    void transcribeRequested(const QString& path);

private:
    void acceptConnections();
    void readCommand(class QLocalSocket* socket);
    std::optional<QString> sendLine(const QByteArray& line, int timeoutMs) const;

    QString m_directory;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer m_server;
    bool m_primary = false;
};

} // namespace murmurly
