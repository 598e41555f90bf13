#include "storage/PendingSession.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace murmurly {

namespace {

std::optional<QDateTime> parseStrictDate(const QString& text) {
    // Qt's ISO parser is lenient (fractions, offsets, missing seconds); the record's form is not.
    static const QRegularExpression form(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z$"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    const QDateTime date = QDateTime::fromString(text, Qt::ISODate);
    if (!date.isValid())
        return std::nullopt;
    return date.toUTC();
}

// The string at `key`: none when absent or null; `ok` turns false for any other JSON type.
std::optional<QString> optionalString(const QJsonObject& object, const QString& key, bool& ok) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isString()) {
        ok = false;
        return std::nullopt;
    }
    return value.toString();
}

} // namespace

QByteArray PendingSession::encode() const {
    QJsonObject object;
    object.insert(QStringLiteral("audioPath"), audioPath);
    object.insert(QStringLiteral("startedAt"), startedAt.toUTC().toString(Qt::ISODate));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<PendingSession> PendingSession::decode(const QByteArray& json) {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();

    bool ok = true;
    std::optional<QString> path = optionalString(object, QStringLiteral("audioPath"), ok);
    if (!ok)
        return std::nullopt;
    if (!path) {
        path = optionalString(object, QStringLiteral("micPath"), ok);
        if (!ok)
            return std::nullopt;
    }

    const QJsonValue started = object.value(QStringLiteral("startedAt"));
    if (!started.isString())
        return std::nullopt;
    const std::optional<QDateTime> startedAt = parseStrictDate(started.toString());
    if (!startedAt)
        return std::nullopt;
    return PendingSession{path.value_or(QString()), *startedAt};
}

} // namespace murmurly
