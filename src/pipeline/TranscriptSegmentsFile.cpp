#include "pipeline/TranscriptSegmentsFile.h"

#include "storage/SessionStore.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace murmurly {

QString TranscriptSegmentsFile::location(const QString& sessionID) {
    return QDir(SessionStore::transcriptsDirectory()).filePath(sessionID + QStringLiteral(".segments.json"));
}

void TranscriptSegmentsFile::save(const QList<LemonfoxSegment>& segments, const QString& sessionID) {
    if (segments.isEmpty()) {
        remove(sessionID);
        return;
    }
    QSaveFile file(location(sessionID));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(encode(segments));
        file.commit();
    }
}

std::optional<QList<LemonfoxSegment>> TranscriptSegmentsFile::load(const QString& sessionID) {
    QFile file(location(sessionID));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return decode(file.readAll());
}

void TranscriptSegmentsFile::remove(const QString& sessionID) {
    QFile::remove(location(sessionID));
}

QByteArray TranscriptSegmentsFile::encode(const QList<LemonfoxSegment>& segments) {
    QJsonArray array;
    for (const LemonfoxSegment& segment : segments) {
        QJsonObject object{{QStringLiteral("text"), segment.text}};
        if (segment.start)
            object.insert(QStringLiteral("start"), *segment.start);
        if (segment.end)
            object.insert(QStringLiteral("end"), *segment.end);
        if (segment.speaker)
            object.insert(QStringLiteral("speaker"), *segment.speaker);
        array.append(object);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<QList<LemonfoxSegment>> TranscriptSegmentsFile::decode(const QByteArray& json) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    QList<LemonfoxSegment> segments;
    for (const QJsonValue& value : document.array()) {
        const QJsonObject object = value.toObject();
        const QJsonValue text = object.value(QStringLiteral("text"));
        const QJsonValue start = object.value(QStringLiteral("start"));
        const QJsonValue end = object.value(QStringLiteral("end"));
        const QJsonValue speaker = object.value(QStringLiteral("speaker"));
        // A member of the wrong type means the file is not ours (or damaged): no segments at all
        // rather than subtitles with holes.
        if (!text.isString() || !(start.isUndefined() || start.isDouble()) ||
            !(end.isUndefined() || end.isDouble()) || !(speaker.isUndefined() || speaker.isString()))
            return std::nullopt;
        LemonfoxSegment segment;
        segment.text = text.toString();
        if (start.isDouble())
            segment.start = start.toDouble();
        if (end.isDouble())
            segment.end = end.toDouble();
        if (speaker.isString())
            segment.speaker = speaker.toString();
        segments.append(segment);
    }
    return segments;
}

} // namespace murmurly
