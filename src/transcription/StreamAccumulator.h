#pragma once

#include "transcription/MistralTypes.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace murmurly {

// Collects the server-sent events of one streamed Mistral call: text deltas (told to onTextDelta
// as they arrive), the detected language, segments, and the final "transcription.done" answer.
// Fed line by line; a blank line ends an event. Malformed events are dropped and the stream goes
// on. Belongs to one call; not thread-safe.
class StreamAccumulator {
public:
    using TextDelta = std::function<void(const QString&)>;

    explicit StreamAccumulator(TextDelta onTextDelta = {})
        : m_onTextDelta(std::move(onTextDelta)) {}

    // One line of the answer, without its line break.
    void consume(const QString& line);
    // Dispatches the event collected so far and starts a new one. Called at every blank line and
    // once more at the end of the answer, so a last event without a trailing blank line counts.
    void processCurrentEvent();
    void handle(const MistralStreamPayload& payload, const std::optional<QString>& eventName);

    // The transcript after the last processCurrentEvent(): the final answer when there was one,
    // otherwise what the deltas and segments gave. Throws TranscriptionError (invalidResponse)
    // when there is neither text nor segments.
    LemonfoxTranscriptionResponse result() const;

    const QString& text() const { return m_text; }
    const std::optional<QString>& language() const { return m_language; }
    const QList<MistralSegment>& segments() const { return m_segments; }
    const std::optional<MistralTranscriptionResponse>& done() const { return m_done; }

private:
    QString m_text;
    std::optional<QString> m_language;
    QList<MistralSegment> m_segments;
    std::optional<MistralTranscriptionResponse> m_done;
    std::optional<QString> m_currentEventName;
    QStringList m_currentDataLines;
    TextDelta m_onTextDelta;
};

} // namespace murmurly
