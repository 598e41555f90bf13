#pragma once

#include "history/SessionHistoryEntry.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace murmurly {

class TranscriptionRunner;

// The model behind the history panel: past sessions found by listing the application folder and
// its transcripts folder, newest first, and the selected one. Lives on the main thread; the folder
// scan and the Opus preparation run on the thread pool and hand their results back here.
// It never scans by itself: the user interface calls rescan().
class SessionHistoryStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<murmurly::SessionHistoryEntry> sessions READ sessions NOTIFY sessionsChanged)
    Q_PROPERTY(std::optional<QString> selectedID READ selectedID WRITE setSelectedID NOTIFY selectedIDChanged)

public:
    using Entry = SessionHistoryEntry;
    // The folder scan; replaceable so that tests can hold a scan back and order concurrent ones.
    using Scanner = std::function<QList<Entry>()>;

    explicit SessionHistoryStore(QObject* parent = nullptr);
    SessionHistoryStore(Scanner scanner, QObject* parent);

    const QList<Entry>& sessions() const { return m_sessions; }
    const std::optional<QString>& selectedID() const { return m_selectedID; }
    void setSelectedID(const std::optional<QString>& id);

    // Starts a scan on the thread pool and returns at once. Every call applies its own result when
    // it finishes; concurrent scans are neither merged nor cancelled.
    void rescan();
    // Scans started and not yet applied.
    int pendingScans() const { return m_pendingScans; }

    // The first listed session with this id; none without an id.
    std::optional<Entry> session(const std::optional<QString>& id) const;

    // Stores the trimmed name for the id (even if it is not listed) and shows it in place.
    // A blank name does nothing at all.
    void rename(const QString& id, const QString& name);
    // Removes the session's recordings, Opus copies, transcript and segments, its name, and its row; moves
    // the selection to the first remaining session if it was selected. An unlisted id removes nothing.
    void deleteSession(const QString& id);

    // Writes id + ".txt" in the transcripts folder atomically and records it in the entry.
    // A failed write leaves everything as it was.
    void saveTranscript(const QString& text, const QString& id);
    // The transcript's text, or the empty text without an id or on any failure (including a file
    // that is not valid UTF-8).
    QString loadTranscript(const std::optional<QString>& id) const;

    // The file to upload for a re-transcription: an existing Opus/Ogg source as is; else the Opus
    // copy in the transcripts folder, reused when present, encoded from the WAV otherwise; the WAV
    // itself if encoding fails. None when the entry has no audio. Blocks while encoding: call it
    // off the main thread.
    static std::optional<QString> prepareUploadURL(const Entry& entry);

    // Lists both folders and merges their files into entries, newest first. Touches no store state.
    static QList<Entry> scanEntries();

    // What the history panel hears back from a re-transcription.
    struct ReTranscribeHandlers {
        QObject* context = nullptr;                       // handlers are dropped once it is gone
        std::function<void()> onPrepared;                 // the upload file is ready (or none)
        std::function<void(const QString&)> onTranscript; // success, after the store saved it
    };
    // Transcribes the selected session again: prepares its upload file on the thread pool, then, on
    // the main thread, rescans and hands it to `runner` with `force` set (cancelling a run in
    // progress). Returns false, doing nothing, when no listed session is selected. `runner` must
    // outlive the run (the pipeline lives as long as the application).
    bool reTranscribe(TranscriptionRunner& runner, const std::optional<QString>& language,
                      ReTranscribeHandlers handlers);

signals:
    void sessionsChanged();
    void selectedIDChanged();
    // A scan result has been installed (after sessionsChanged).
    void scanApplied();

private:
    void apply(QList<Entry> entries);
    void setSessions(QList<Entry> sessions);
    Entry* findEntry(const QString& id);

    Scanner m_scanner;
    QList<Entry> m_sessions;
    std::optional<QString> m_selectedID;
    int m_pendingScans = 0;
};

} // namespace murmurly
