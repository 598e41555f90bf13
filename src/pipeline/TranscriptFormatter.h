#pragma once

#include "transcription/LemonfoxTranscriptionResponse.h"

#include <QString>

namespace murmurly {

// Turns a service's answer into the transcript text shown, stored and copied: one line per
// segment, "[mm:ss] Speaker: text" (or "[h:mm:ss] ..." from one hour on), sorted by start time.
class TranscriptFormatter {
public:
    TranscriptFormatter() = delete;

    // Segments with blank text give no line; when the answer has at least one segment its full text
    // is never used, otherwise a non-empty full text gives one line at 00:00 without a speaker.
    // Lines end in a line feed; no lines give the empty text.
    static QString format(const LemonfoxTranscriptionResponse& response);

private:
    static QString formatTime(double seconds);
};

} // namespace murmurly
