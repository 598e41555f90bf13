#pragma once

#include "history/SessionHistoryStore.h"
#include "pipeline/TranscriptionRunner.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

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
        bool force = false;
        TranscriptionCompletion completion;
        bool onMainThread = false;
    };
    void transcribeFiles(std::optional<QString> audioPath, std::optional<QString> sessionID,
                         std::optional<QString> language, bool force,
                         TranscriptionCompletion completion) override;
    std::vector<Call> calls;
};

// Files in the temporary home's application and transcripts folders.
QString inApp(const QString& name);
QString inTranscripts(const QString& name);
// Writes `bytes` to `path` and returns the path.
QString writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);
void setModified(const QString& path, const QDateTime& when);
// A 16 kHz mono 16-bit PCM WAV file with `frames` frames of a tone.
QByteArray wavFile(int frames);
// Starts a rescan and waits until its result is applied.
void rescanAndWait(SessionHistoryStore& store);
QStringList idsOf(const QList<SessionHistoryEntry>& entries);
// ffmpeg's own reading of a subtitle file: "start,duration" in seconds per cue, or what failed.
QStringList cueTimes(const QString& path);

} // namespace murmurly::test
