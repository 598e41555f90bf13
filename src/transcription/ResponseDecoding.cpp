#include "transcription/ResponseDecoding.h"

#include "transcription/TranscriptionErrors.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>
#include <limits>

namespace murmurly {

namespace {

QJsonObject parseObject(const QByteArray& json) {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, parseError.errorString());
    }
    if (!document.isObject()) {
        throw DecodingError(DecodingError::Kind::typeMismatch, QStringLiteral("expected an object"));
    }
    return document.object();
}

[[noreturn]] void mismatch(QStringView key, const char* expected) {
    throw DecodingError(DecodingError::Kind::typeMismatch,
                        QStringLiteral("\"%1\" is not %2").arg(key, QLatin1String(expected)));
}

bool absent(const QJsonObject& object, QStringView key) {
    const auto it = object.constFind(key);
    return it == object.constEnd() || it->isNull();
}

std::optional<QString> optionalString(const QJsonObject& object, QStringView key) {
    if (absent(object, key)) {
        return std::nullopt;
    }
    const QJsonValue value = object.value(key);
    if (!value.isString()) {
        mismatch(key, "text");
    }
    return value.toString();
}

QString requiredString(const QJsonObject& object, QStringView key) {
    if (absent(object, key)) {
        throw DecodingError(DecodingError::Kind::keyNotFound, QStringLiteral("\"%1\" is missing").arg(key));
    }
    return *optionalString(object, key);
}

std::optional<double> optionalDouble(const QJsonObject& object, QStringView key) {
    if (absent(object, key)) {
        return std::nullopt;
    }
    const QJsonValue value = object.value(key);
    if (!value.isDouble()) {
        mismatch(key, "a number");
    }
    return value.toDouble();
}

std::optional<int> optionalInt(const QJsonObject& object, QStringView key) {
    const std::optional<double> number = optionalDouble(object, key);
    if (!number) {
        return std::nullopt;
    }
    if (std::trunc(*number) != *number || *number < std::numeric_limits<int>::min() ||
        *number > std::numeric_limits<int>::max()) {
        mismatch(key, "an integer");
    }
    return static_cast<int>(*number);
}

template <typename Element, typename DecodeElement>
std::optional<QList<Element>> optionalList(const QJsonObject& object, QStringView key, DecodeElement decode) {
    if (absent(object, key)) {
        return std::nullopt;
    }
    const QJsonValue value = object.value(key);
    if (!value.isArray()) {
        mismatch(key, "a list");
    }
    QList<Element> list;
    const QJsonArray array = value.toArray();
    list.reserve(array.size());
    for (const QJsonValue& element : array) {
        if (!element.isObject()) {
            mismatch(key, "a list of objects");
        }
        list.append(decode(element.toObject()));
    }
    return list;
}

LemonfoxSegment lemonfoxSegment(const QJsonObject& object) {
    LemonfoxSegment segment;
    segment.id = optionalInt(object, u"id");
    segment.text = requiredString(object, u"text");
    segment.start = optionalDouble(object, u"start");
    segment.end = optionalDouble(object, u"end");
    segment.speaker = optionalString(object, u"speaker");
    return segment;
}

MistralSegment mistralSegment(const QJsonObject& object) {
    MistralSegment segment;
    segment.text = requiredString(object, u"text");
    segment.start = optionalDouble(object, u"start");
    segment.end = optionalDouble(object, u"end");
    segment.speaker_id = optionalString(object, u"speaker_id");
    return segment;
}

MistralStreamPayload streamPayload(const QJsonObject& object) {
    MistralStreamPayload payload;
    payload.type = optionalString(object, u"type");
    payload.model = optionalString(object, u"model");
    payload.text = optionalString(object, u"text");
    payload.language = optionalString(object, u"language");
    payload.audio_language = optionalString(object, u"audio_language");
    payload.start = optionalDouble(object, u"start");
    payload.end = optionalDouble(object, u"end");
    payload.speaker_id = optionalString(object, u"speaker_id");
    payload.segments = optionalList<MistralSegment>(object, u"segments", mistralSegment);
    return payload;
}

} // namespace

LemonfoxTranscriptionResponse ResponseDecoding::decodeLemonfoxResponse(const QByteArray& json) {
    const QJsonObject object = parseObject(json);
    LemonfoxTranscriptionResponse response;
    response.task = optionalString(object, u"task");
    response.language = optionalString(object, u"language");
    response.duration = optionalDouble(object, u"duration");
    response.text = optionalString(object, u"text");
    response.segments = optionalList<LemonfoxSegment>(object, u"segments", lemonfoxSegment);
    return response;
}

MistralTranscriptionResponse ResponseDecoding::decodeMistralResponse(const QByteArray& json) {
    const QJsonObject object = parseObject(json);
    MistralTranscriptionResponse response;
    response.model = requiredString(object, u"model");
    response.text = requiredString(object, u"text");
    response.language = optionalString(object, u"language");
    response.segments = optionalList<MistralSegment>(object, u"segments", mistralSegment);
    return response;
}

MistralStreamEnvelope ResponseDecoding::decodeStreamEnvelope(const QByteArray& json) {
    const QJsonObject object = parseObject(json);
    MistralStreamEnvelope envelope;
    envelope.event = optionalString(object, u"event");
    if (absent(object, u"data")) {
        throw DecodingError(DecodingError::Kind::keyNotFound, QStringLiteral("\"data\" is missing"));
    }
    const QJsonValue data = object.value(u"data");
    if (!data.isObject()) {
        mismatch(u"data", "an object");
    }
    envelope.data = streamPayload(data.toObject());
    return envelope;
}

MistralStreamPayload ResponseDecoding::decodeStreamPayload(const QByteArray& json) {
    return streamPayload(parseObject(json));
}

} // namespace murmurly
