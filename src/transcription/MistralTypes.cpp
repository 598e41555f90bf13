#include "transcription/MistralTypes.h"

namespace murmurly {

LemonfoxTranscriptionResponse MistralTranscriptionResponse::asLemonfoxShape() const {
    LemonfoxTranscriptionResponse result;
    result.task = model;
    result.language = language;
    result.text = text;
    if (segments) {
        QList<LemonfoxSegment> converted;
        converted.reserve(segments->size());
        for (const MistralSegment& segment : *segments) {
            LemonfoxSegment lemonfox;
            lemonfox.text = segment.text;
            lemonfox.start = segment.start;
            lemonfox.end = segment.end;
            lemonfox.speaker = segment.speaker_id;
            converted.append(std::move(lemonfox));
        }
        result.segments = std::move(converted);
    }
    return result;
}

std::optional<QString> normalizedMistralLanguage(const std::optional<QString>& language) {
    if (!language) {
        return std::nullopt;
    }
    const QString trimmed = language->trimmed();
    if (trimmed.isEmpty()) {
        return std::nullopt;
    }
    QString unified = trimmed;
    unified.replace(u'_', u'-');
    const QStringList pieces = unified.split(u'-', Qt::SkipEmptyParts);
    const QString code = pieces.isEmpty() ? trimmed.toLower() : pieces.first().toLower();
    if (code.size() != 2) {
        return std::nullopt;
    }
    for (const QChar c : code) {
        if (!c.isLetterOrNumber() && c != u'_') {
            return std::nullopt;
        }
    }
    return code;
}

} // namespace murmurly
