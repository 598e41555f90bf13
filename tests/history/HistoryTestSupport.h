#pragma once

#include "history/SessionHistoryStore.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <ostream>

// Readable QString values in assertion messages (found by argument-dependent lookup).
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace murmurly::test {

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
