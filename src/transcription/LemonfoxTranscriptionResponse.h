#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace murmurly {

// One timed piece of a transcript. Only `text` is required in the services' answers; an answer
// with a segment lacking it fails to decode as a whole.
struct LemonfoxSegment {
    std::optional<int> id;
    QString text;
    std::optional<double> start; // seconds from the beginning of the upload
    std::optional<double> end;   // seconds
    std::optional<QString> speaker;

    friend bool operator==(const LemonfoxSegment&, const LemonfoxSegment&) = default;
};

// The transcript as both service clients hand it to the pipeline: Lemonfox's answer decoded as it
// is, Mistral's converted into this shape. Every field may be missing from an answer.
struct LemonfoxTranscriptionResponse {
    std::optional<QString> task;     // the service's task name, or the model name for Mistral
    std::optional<QString> language; // as reported by the service
    std::optional<double> duration;  // seconds; Lemonfox only
    std::optional<QString> text;     // the whole transcript
    std::optional<QList<LemonfoxSegment>> segments;

    friend bool operator==(const LemonfoxTranscriptionResponse&,
                           const LemonfoxTranscriptionResponse&) = default;
};

} // namespace murmurly
