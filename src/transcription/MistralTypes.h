#pragma once

#include "transcription/LemonfoxTranscriptionResponse.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace murmurly {

// One timed piece of a Mistral transcript ("speaker_id" with the underscore, as the service names it).
struct MistralSegment {
    QString text;
    std::optional<double> start;
    std::optional<double> end;
    std::optional<QString> speaker_id;
};

// The service's batch answer, and the final answer a stream assembles.
struct MistralTranscriptionResponse {
    QString model;
    QString text;
    std::optional<QString> language;
    std::optional<QList<MistralSegment>> segments;

    // The common result both clients give the pipeline: the model becomes the task, the segments
    // keep their order, with the speaker taken from speaker_id and no id.
    LemonfoxTranscriptionResponse asLemonfoxShape() const;
};

// The content of one streamed event; every key is optional.
struct MistralStreamPayload {
    std::optional<QString> type;
    std::optional<QString> model;
    std::optional<QString> text;
    std::optional<QString> language;
    std::optional<QString> audio_language;
    std::optional<double> start;
    std::optional<double> end;
    std::optional<QString> speaker_id;
    std::optional<QList<MistralSegment>> segments;
};

// An event in its wrapped form: {"event": ..., "data": {...}}.
struct MistralStreamEnvelope {
    std::optional<QString> event;
    MistralStreamPayload data;
};

// The language code sent to Mistral: a two-character code taken from the front of the preference
// ("en-GB" and "en_GB" give "en"), or nothing, in which case the service detects the language.
std::optional<QString> normalizedMistralLanguage(const std::optional<QString>& language);

} // namespace murmurly
