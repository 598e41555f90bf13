#include "history/SessionHistoryStore.h"

#include "audio/OpusCopy.h"
#include "common/PrivateFiles.h"
#include "history/SessionMetadataStore.h"
#include "pipeline/TranscriptSegmentsFile.h"
#include "pipeline/TranscriptionRunner.h"
#include "storage/SessionStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLoggingCategory>
#include <QPointer>
#include <QSaveFile>
#include <QStringDecoder>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <exception>

namespace murmurly {

namespace {

Q_LOGGING_CATEGORY(lcHistory, "com.murmurly.app.SessionHistoryStore")

QString transcriptLocation(const QString& id) {
    return QDir(SessionStore::transcriptsDirectory()).filePath(id + QStringLiteral(".txt"));
}

QString opusCopyLocation(const QString& prefix, const QString& id) {
    return QDir(SessionStore::transcriptsDirectory()).filePath(prefix + id + QStringLiteral(".opus"));
}

void removeIfPresent(const QString& path) {
    // A missing file is no error; any other failure is skipped so the rest of the session still goes.
    if (QFile::exists(path) && !QFile::remove(path))
        qCDebug(lcHistory, "Could not remove %s", qUtf8Printable(path));
}

} // namespace

SessionHistoryStore::SessionHistoryStore(QObject* parent)
    : SessionHistoryStore(&SessionHistoryStore::scanEntries, parent) {}

SessionHistoryStore::SessionHistoryStore(Scanner scanner, QObject* parent)
    : QObject(parent)
    , m_scanner(std::move(scanner)) {}

void SessionHistoryStore::setSelectedID(const std::optional<QString>& id) {
    if (m_selectedID == id)
        return;
    m_selectedID = id;
    emit selectedIDChanged();
}

void SessionHistoryStore::setSessions(QList<Entry> sessions) {
    m_sessions = std::move(sessions);
    emit sessionsChanged();
}

SessionHistoryStore::Entry* SessionHistoryStore::findEntry(const QString& id) {
    const auto it =
        std::find_if(m_sessions.begin(), m_sessions.end(), [&](const Entry& e) { return e.id == id; });
    return it == m_sessions.end() ? nullptr : &*it;
}

void SessionHistoryStore::rescan() {
    // The global pool's threads run at normal priority, like the main thread: the Linux counterpart
    // of a user-initiated background task. The watcher is our child, so a result that arrives after
    // the store is gone is simply dropped.
    auto* watcher = new QFutureWatcher<QList<Entry>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        --m_pendingScans;
        apply(watcher->result());
    });
    ++m_pendingScans;
    watcher->setFuture(QtConcurrent::run([scanner = m_scanner]() -> QList<Entry> {
        try {
            return scanner();
        } catch (const std::exception& e) {
            // Listing failures already count as empty folders; this only guards against the
            // unexpected (such as memory exhaustion) so that the main thread never rethrows.
            qCWarning(lcHistory, "Session scan failed: %s", e.what());
            return {};
        }
    }));
}

void SessionHistoryStore::apply(QList<Entry> entries) {
    setSessions(std::move(entries));
    if (!m_selectedID || !findEntry(*m_selectedID)) {
        setSelectedID(m_sessions.isEmpty() ? std::nullopt : std::optional<QString>(m_sessions.first().id));
    }
    emit scanApplied();
}

std::optional<SessionHistoryStore::Entry>
SessionHistoryStore::session(const std::optional<QString>& id) const {
    if (!id)
        return std::nullopt;
    for (const Entry& entry : m_sessions) {
        if (entry.id == *id)
            return entry;
    }
    return std::nullopt;
}

void SessionHistoryStore::rename(const QString& id, const QString& name) {
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return;
    // Stored even for an unlisted id: a session that a later scan finds then shows its name.
    SessionMetadataStore::setName(trimmed, id);
    if (Entry* entry = findEntry(id)) {
        entry->displayName = trimmed;
        emit sessionsChanged();
    }
}

void SessionHistoryStore::deleteSession(const QString& id) {
    const std::optional<Entry> entry = session(id);
    if (!entry)
        return;
    // Fixed order: recordings and their copies first, the transcript last, so an interrupted delete
    // leaves the text the user is most likely to want.
    if (entry->audioURL)
        removeIfPresent(*entry->audioURL);
    removeIfPresent(opusCopyLocation(QStringLiteral("mixed-"), id));
    if (entry->micURL)
        removeIfPresent(*entry->micURL);
    if (entry->systemURL)
        removeIfPresent(*entry->systemURL);
    removeIfPresent(opusCopyLocation(QStringLiteral("mic-"), id));
    removeIfPresent(opusCopyLocation(QStringLiteral("system-"), id));
    removeIfPresent(transcriptLocation(id));
    removeIfPresent(TranscriptSegmentsFile::location(id));

    SessionMetadataStore::deleteName(id);

    QList<Entry> remaining = m_sessions;
    remaining.removeIf([&](const Entry& e) { return e.id == id; });
    setSessions(std::move(remaining));
    if (m_selectedID == id)
        setSelectedID(m_sessions.isEmpty() ? std::nullopt : std::optional<QString>(m_sessions.first().id));
}

void SessionHistoryStore::saveTranscript(const QString& text, const QString& id) {
    const QString location = transcriptLocation(id);
    QSaveFile file(location);
    if (!file.open(QIODevice::WriteOnly)) {
        qCDebug(lcHistory, "Could not save transcript %s: %s", qUtf8Printable(location),
                qUtf8Printable(file.errorString()));
        return;
    }
    PrivateFiles::restrictToOwner(file);
    file.write(text.toUtf8());
    if (!file.commit()) {
        qCDebug(lcHistory, "Could not save transcript %s: %s", qUtf8Printable(location),
                qUtf8Printable(file.errorString()));
        return;
    }
    Entry* entry = findEntry(id);
    if (entry && entry->transcriptURL != location) {
        entry->transcriptURL = location;
        emit sessionsChanged();
    }
}

QString SessionHistoryStore::loadTranscript(const std::optional<QString>& id) const {
    if (!id)
        return {};
    QFile file(transcriptLocation(*id));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {};
    // Text that is not UTF-8 is treated like an unreadable file rather than shown garbled.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

std::optional<QString> SessionHistoryStore::prepareUploadURL(const Entry& entry) {
    struct Source {
        const std::optional<QString>& location;
        QString prefix;
    };
    const Source candidates[] = {{entry.audioURL, QStringLiteral("mixed-")},
                                 {entry.micURL, QStringLiteral("mic-")},
                                 {entry.systemURL, QStringLiteral("system-")}};
    const auto chosen = std::find_if(std::begin(candidates), std::end(candidates),
                                     [](const Source& s) { return s.location.has_value(); });
    if (chosen == std::end(candidates))
        return std::nullopt;
    const QString source = *chosen->location;

    const QString suffix = QFileInfo(source).suffix().toLower();
    if (suffix == u"opus" || suffix == u"ogg")
        return source;

    // Named after the field chosen, not the source's own name, so the copy lands where the next scan
    // attributes it to the same kind.
    // A copy in place is complete (copies are renamed into place only when finished) and reused;
    // a second Re-transcribe waits for the first one's encoding rather than starting its own.
    const QString target = opusCopyLocation(chosen->prefix, entry.id);
    try {
        return OpusCopy::write(source, target, OpusCopy::Existing::reuse);
    } catch (const std::exception& e) {
        // The services accept WAV as well; a larger upload beats no re-transcription.
        qCInfo(lcHistory, "Opus preparation failed, uploading the WAV: %s", e.what());
        return source;
    }
}

bool SessionHistoryStore::reTranscribe(TranscriptionRunner& runner, const std::optional<QString>& language,
                                       ReTranscribeHandlers handlers) {
    const std::optional<Entry> entry = session(m_selectedID);
    if (!entry)
        return false;
    // Taken now: the handlers' owner may be gone by the time the preparation finishes.
    const QPointer<QObject> context(handlers.context);
    const bool hasContext = handlers.context != nullptr;
    const auto contextAlive = [context, hasContext] { return !hasContext || !context.isNull(); };

    auto* watcher = new QFutureWatcher<std::optional<QString>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this,
            [this, watcher, &runner, id = entry->id, language, contextAlive, handlers = std::move(handlers)] {
                watcher->deleteLater();
                const std::optional<QString> upload = watcher->result();
                if (contextAlive() && handlers.onPrepared)
                    handlers.onPrepared();
                // A freshly written Opus copy and its size show up in the list.
                rescan();
                const QPointer<SessionHistoryStore> self(this);
                runner.transcribeFiles(upload, id, language, true,
                                       [self, contextAlive, id, onTranscript = handlers.onTranscript](
                                           const TranscriptionResult& result) {
                                           // Failures are the pipeline's to report, through its own
                                           // error state.
                                           if (!self || !result.succeeded())
                                               return;
                                           self->saveTranscript(*result.text, id);
                                           if (contextAlive() && onTranscript)
                                               onTranscript(*result.text);
                                       });
            });
    watcher->setFuture(QtConcurrent::run([prepared = *entry] { return prepareUploadURL(prepared); }));
    return true;
}

} // namespace murmurly
