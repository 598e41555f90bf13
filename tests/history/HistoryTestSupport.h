#pragma once

#include "history/SessionHistoryStore.h"
#include "pipeline/TranscriptionRunner.h"
#include "storage/SessionStore.h"
#include "support/MediaSamples.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QThread>

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

// Readable QString values in assertion messages (found by argument-dependent lookup).
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace murmurly::test {

// Session ids, newest first.
inline const QString kA = QStringLiteral("2025-03-01T14:05:09Z");
inline const QString kB = QStringLiteral("2025-02-11T08:00:00Z");
inline const QString kC = QStringLiteral("2024-12-31T23:59:59Z");
inline const QString kD = QStringLiteral("2024-11-05T10:30:00Z");

// Stands in for the pipeline: records each hand-off so that a test can check what was asked and
// answer through the completion.
class RecordingRunner : public TranscriptionRunner {
public:
    struct Call {
        std::optional<QString> audioPath, sessionID, language;
        bool force = false, onMainThread = false;
        TranscriptionCompletion completion;
    };
    void transcribeFiles(std::optional<QString> audioPath, std::optional<QString> sessionID,
                         std::optional<QString> language, bool force,
                         TranscriptionCompletion completion) override {
        calls.push_back({std::move(audioPath), std::move(sessionID), std::move(language), force,
                         QThread::currentThread() == qApp->thread(), std::move(completion)});
    }
    std::vector<Call> calls;
};

// Files in the temporary home's application and transcripts folders.
inline QString inApp(const QString& name) {
    return SessionStore::appSupportDirectory() + QLatin1Char('/') + name;
}
inline QString inTranscripts(const QString& name) {
    return SessionStore::transcriptsDirectory() + QLatin1Char('/') + name;
}

// A one-second recording of a tone.
inline QString toneWav(const QString& path) {
    makeMedia(stereoTone(1), path);
    return path;
}

// Starts a rescan and waits until its result is applied.
inline void rescanAndWait(SessionHistoryStore& store) {
    QSignalSpy applied(&store, &SessionHistoryStore::scanApplied);
    store.rescan();
    ASSERT_TRUE(applied.wait(20000)) << "the scan result never arrived";
}

inline QStringList idsOf(const QList<SessionHistoryEntry>& entries) {
    QStringList ids;
    for (const SessionHistoryEntry& e : entries)
        ids << e.id;
    return ids;
}

// ffmpeg's own reading of a subtitle file: "start,duration" in seconds per cue, or what failed.
inline QStringList cueTimes(const QString& path) {
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
                {"-v", "error", "-show_entries", "packet=pts_time,duration_time", "-of", "csv=p=0", path});
    if (!probe.waitForFinished(30000) || probe.exitCode() != 0 || !probe.readAllStandardError().isEmpty())
        return {QStringLiteral("ffprobe failed on ") + path};
    return QString::fromUtf8(probe.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

} // namespace murmurly::test
