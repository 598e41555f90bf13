#include "transcription/StreamAccumulator.h"

#include "transcription/ResponseDecoding.h"
#include "transcription/TranscriptionErrors.h"

namespace murmurly {

namespace {

const QString kDefaultModel = QStringLiteral("voxtral-mini-latest");

// Event-stream field values are trimmed of spaces and tabs only.
QString trimBlanks(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && (text[begin] == u' ' || text[begin] == u'\t')) {
        ++begin;
    }
    while (end > begin && (text[end - 1] == u' ' || text[end - 1] == u'\t')) {
        --end;
    }
    return text.mid(begin, end - begin).toString();
}

} // namespace

void StreamAccumulator::consume(const QString& line) {
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty()) {
        processCurrentEvent();
        return;
    }
    if (trimmed.startsWith(u"event:")) {
        m_currentEventName = trimBlanks(QStringView(trimmed).mid(6));
    } else if (trimmed.startsWith(u"data:")) {
        m_currentDataLines.append(trimBlanks(QStringView(trimmed).mid(5)));
    }
    // Comments (":"), "id:" and "retry:" lines carry nothing this client uses.
}

void StreamAccumulator::processCurrentEvent() {
    if (!m_currentDataLines.isEmpty()) {
        const QString payloadText = m_currentDataLines.join(u'\n');
        if (payloadText != u"[DONE]") {
            const QByteArray bytes = payloadText.toUtf8();
            try {
                const MistralStreamEnvelope envelope = ResponseDecoding::decodeStreamEnvelope(bytes);
                handle(envelope.data, envelope.event ? envelope.event : m_currentEventName);
            } catch (const DecodingError&) {
                try {
                    handle(ResponseDecoding::decodeStreamPayload(bytes), m_currentEventName);
                } catch (const DecodingError&) {
                    // Neither shape: the event is dropped and the stream goes on.
                }
            }
        }
    }
    m_currentEventName.reset();
    m_currentDataLines.clear();
}

void StreamAccumulator::handle(const MistralStreamPayload& payload, const std::optional<QString>& eventName) {
    const std::optional<QString> type = payload.type ? payload.type : eventName;
    if (type == u"transcription.language") {
        if (payload.audio_language) {
            m_language = payload.audio_language;
        }
    } else if (type == u"transcription.segment") {
        if (payload.text) {
            m_segments.append(MistralSegment{*payload.text, payload.start, payload.end, payload.speaker_id});
        }
    } else if (type == u"transcription.done") {
        MistralTranscriptionResponse done;
        done.model = payload.model.value_or(kDefaultModel);
        done.text = payload.text.value_or(m_text);
        done.language = payload.language ? payload.language : m_language;
        if (payload.segments) {
            done.segments = payload.segments;
        } else if (!m_segments.isEmpty()) {
            done.segments = m_segments;
        }
        if (!done.text.isEmpty()) {
            m_text = done.text;
        }
        m_done = std::move(done);
    } else if (payload.text && !payload.text->isEmpty()) {
        m_text += *payload.text;
        if (m_onTextDelta) {
            m_onTextDelta(*payload.text);
        }
    }
}

LemonfoxTranscriptionResponse StreamAccumulator::result() const {
    if (m_done) {
        return m_done->asLemonfoxShape();
    }
    if (m_text.isEmpty() && m_segments.isEmpty()) {
        throw TranscriptionError(TranscriptionService::mistral, TranscriptionError::Kind::invalidResponse);
    }
    MistralTranscriptionResponse assembled;
    assembled.model = kDefaultModel;
    assembled.text = m_text;
    assembled.language = m_language;
    if (!m_segments.isEmpty()) {
        assembled.segments = m_segments;
    }
    return assembled.asLemonfoxShape();
}

} // namespace murmurly
