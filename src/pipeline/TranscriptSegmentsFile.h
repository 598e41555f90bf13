#pragma once

#include "transcription/LemonfoxTranscriptionResponse.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace murmurly {

// The service's segments of a session's last successful run, kept beside its transcript as
// id + ".segments.json" in the transcripts folder so that the transcript can later be exported as
// subtitles. Nothing else reads it: the history scan lists only recordings and Opus copies.
//
// The file is a JSON array of objects with the members "text" and, as the service gave them,
// "start", "end" (seconds) and "speaker". Stateless; callable from any thread.
class TranscriptSegmentsFile {
public:
    TranscriptSegmentsFile() = delete;

    static QString location(const QString& sessionID);

    // Replaces the session's segments atomically. No segments removes the file instead, so that a
    // run without timings never leaves the timings of an earlier run beside its transcript.
    // Failures are ignored: the transcript itself is what matters.
    static void save(const QList<LemonfoxSegment>& segments, const QString& sessionID);
    // None when the file is missing, unreadable or not of the shape above.
    static std::optional<QList<LemonfoxSegment>> load(const QString& sessionID);
    static void remove(const QString& sessionID);

    static QByteArray encode(const QList<LemonfoxSegment>& segments);
    static std::optional<QList<LemonfoxSegment>> decode(const QByteArray& json);
};

} // namespace murmurly
