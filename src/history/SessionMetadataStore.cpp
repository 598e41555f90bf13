#include "history/SessionMetadataStore.h"

#include "storage/SessionStore.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSaveFile>

namespace murmurly {

namespace {
Q_LOGGING_CATEGORY(lcMetadata, "com.murmurly.app.SessionMetadataStore")
}

QString SessionMetadataStore::fileLocation() {
    return QDir(SessionStore::appSupportDirectory()).filePath(QString::fromLatin1(kFileName));
}

void SessionMetadataStore::setName(const QString& name, const QString& id) {
    NameMap names = readNames();
    names.insert(id, name);
    write(names);
}

void SessionMetadataStore::deleteName(const QString& id) {
    NameMap names = readNames();
    names.remove(id);
    write(names);
}

SessionMetadataStore::NameMap SessionMetadataStore::readNames() {
    return readNames(fileLocation());
}

SessionMetadataStore::NameMap SessionMetadataStore::readNames(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return decode(file.readAll());
}

SessionMetadataStore::NameMap SessionMetadataStore::decode(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCDebug(lcMetadata, "Ignoring unreadable session names: %s", qUtf8Printable(error.errorString()));
        return {};
    }
    const QJsonObject object = document.object();
    NameMap names;
    names.reserve(object.size());
    for (auto it = object.begin(); it != object.end(); ++it) {
        // One member of another type makes the whole file unusable, rather than silently keeping a
        // part of it: the next write then starts from a clean object.
        if (!it.value().isString())
            return {};
        names.insert(it.key(), it.value().toString());
    }
    return names;
}

QByteArray SessionMetadataStore::encode(const NameMap& names) {
    QJsonObject object;
    for (auto it = names.begin(); it != names.end(); ++it)
        object.insert(it.key(), it.value());
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void SessionMetadataStore::write(const NameMap& names) {
    // QSaveFile writes aside and renames over the old file, so a scan reading concurrently sees
    // either the old map or the new one, never a torn file.
    QSaveFile file(fileLocation());
    if (!file.open(QIODevice::WriteOnly)) {
        qCDebug(lcMetadata, "Cannot write session names: %s", qUtf8Printable(file.errorString()));
        return;
    }
    file.write(encode(names));
    if (!file.commit())
        qCDebug(lcMetadata, "Cannot write session names: %s", qUtf8Printable(file.errorString()));
}

} // namespace murmurly
