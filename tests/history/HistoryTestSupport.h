#pragma once

#include "history/SessionHistoryStore.h"
#include "pipeline/TranscriptionRunner.h"
#include "storage/SessionStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QThread>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
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
                         TranscriptionCompletion completion) override {
        calls.push_back({std::move(audioPath), std::move(sessionID), std::move(language), force,
                         std::move(completion), QThread::currentThread() == qApp->thread()});
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

// Writes `bytes` to `path` and returns the path.
inline QString writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()) << path.toStdString();
    return path;
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A 16 kHz mono 16-bit PCM WAV file with `frames` frames of a tone.
inline QByteArray wavFile(int frames) {
    const auto le = [](quint32 v, int bytes) {
        QByteArray b(4, '\0');
        qToLittleEndian(v, b.data());
        return b.left(bytes);
    };
    QByteArray wav = "RIFF" + le(36 + frames * 2, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) +
                     le(16000, 4) + le(32000, 4) + le(2, 2) + le(16, 2) + "data" + le(frames * 2, 4);
    for (int i = 0; i < frames; ++i)
        wav += le(quint16(qint16(3000 * std::sin(2 * M_PI * 440 * i / 16000))), 2);
    return wav;
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
