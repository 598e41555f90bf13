#include "storage/SessionStore.h"

#include "common/Error.h"
#include "common/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace murmurly {

namespace {

QString ensured(const QString& path) {
    PrivateFiles::makeDirectory(path); // a failure shows later, when a file cannot be written there
    return path;
}

// Whether a session of this id left anything behind: its recording, its Opus copy or its
// transcript (a finished session usually keeps only the last two).
bool sessionExists(const QString& id) {
    const QString transcripts = SessionStore::transcriptsDirectory() + QLatin1Char('/');
    return QFileInfo::exists(SessionStore::appSupportDirectory() + QStringLiteral("/mixed-") + id +
                             QStringLiteral(".wav")) ||
           QFileInfo::exists(transcripts + QStringLiteral("mixed-") + id + QStringLiteral(".opus")) ||
           QFileInfo::exists(transcripts + id + QStringLiteral(".txt"));
}

bool writeAtomically(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    PrivateFiles::restrictToOwner(file);
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace

QString SessionStore::appSupportDirectory() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return ensured(base + QStringLiteral("/Murmurly"));
}

QString SessionStore::transcriptsDirectory() {
    return ensured(appSupportDirectory() + QStringLiteral("/transcripts"));
}

QString SessionStore::pendingSessionPath() {
    return appSupportDirectory() + QStringLiteral("/pending_session.json");
}

const QStringList& SessionStore::namePrefixes() {
    static const QStringList prefixes{QStringLiteral("mixed-"), QStringLiteral("mic-"),
                                      QStringLiteral("system-")};
    return prefixes;
}

const QStringList& SessionStore::audioSuffixes() {
    static const QStringList suffixes{QStringLiteral(".wav"), QStringLiteral(".opus"),
                                      QStringLiteral(".ogg")};
    return suffixes;
}

QString SessionStore::sessionIDFor(const QDateTime& time) {
    return QDateTime::fromSecsSinceEpoch(time.toSecsSinceEpoch(), Qt::UTC).toString(Qt::ISODate);
}

PendingSession SessionStore::createNewSession() {
    // Whole seconds, so that the record read back equals the session and its id.
    const QDateTime now = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
    // A second session within the same second (or a clock set back) would get the id of one that
    // exists and overwrite its files: it takes the next second that is free instead, so the id
    // keeps its form and the sessions keep their order.
    QDateTime named = now;
    while (sessionExists(sessionIDFor(named)))
        named = named.addSecs(1);
    const QString path =
        appSupportDirectory() + QStringLiteral("/mixed-") + sessionIDFor(named) + QStringLiteral(".wav");
    return PendingSession{path, now};
}

bool SessionStore::writePending(const PendingSession& session) {
    return writeAtomically(pendingSessionPath(), session.encode());
}

std::optional<PendingSession> SessionStore::readPending() {
    QFile file(pendingSessionPath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return PendingSession::decode(file.readAll());
}

void SessionStore::clearPending() {
    QFile::remove(pendingSessionPath());
}

void SessionStore::saveTranscript(const QString& text, const QString& id) {
    writeAtomically(transcriptsDirectory() + QLatin1Char('/') + id + QStringLiteral(".txt"), text.toUtf8());
}

std::optional<QString> SessionStore::sessionID(const QString& path, const QString& prefix) {
    const QString name = QFileInfo(path).fileName();
    if (!name.startsWith(prefix))
        return std::nullopt;
    const QString rest = name.mid(prefix.size());
    for (const QString& suffix : audioSuffixes())
        if (rest.endsWith(suffix))
            return rest.chopped(suffix.size());
    return std::nullopt;
}

std::optional<QString> SessionStore::opusURL(const QString& path) {
    const QFileInfo info(path);
    const QString name = info.fileName();
    bool recognised = false;
    for (const QString& prefix : namePrefixes())
        recognised = recognised || name.startsWith(prefix);
    if (!recognised)
        return std::nullopt;
    // Only the last extension goes: "mixed-2025-03-01T14:05:09Z.wav" keeps its dotless id intact.
    const QString base = info.completeBaseName();
    return transcriptsDirectory() + QLatin1Char('/') + base + QStringLiteral(".opus");
}

} // namespace murmurly
