#pragma once

#include "transcription/LemonfoxTranscriptionResponse.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace murmurly {

// Writes a session's transcript to a file of the user's choice: as the plain text the history
// shows, or as SubRip or WebVTT subtitles built from the service's segments kept beside it.
class TranscriptExport {
public:
    TranscriptExport() = delete;

    enum class Format { plainText, subRip, webVTT };

    static QString suffix(Format format); // "txt", "srt", "vtt"

    // Subtitles need a start and an end for every segment that has words, and at least one such
    // segment; anything less exports as text only.
    static bool hasTimings(const QList<LemonfoxSegment>& segments);

    // "HH:MM:SS,mmm" (SubRip, separator ',') or "HH:MM:SS.mmm" (WebVTT, '.'), rounded to the
    // millisecond; negative or unknown times are the start, hours grow past two digits.
    static QString timestamp(double seconds, QChar fractionSeparator);

    // One cue per segment with words, ordered by start; the speaker leads the cue text.
    static QByteArray subRip(const QList<LemonfoxSegment>& segments);
    static QByteArray webVTT(const QList<LemonfoxSegment>& segments);

    // Writes the session's transcript to `path` atomically: plain text as the transcript file's
    // bytes, subtitles from its segments. Returns the reason when nothing could be written.
    static std::optional<QString> write(const QString& sessionID, Format format, const QString& path);
};

} // namespace murmurly
