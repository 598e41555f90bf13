#include "storage/PlainTextStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

namespace murmurly {

namespace {

QString inHome(const char* name) {
    return QDir::homePath() + QLatin1Char('/') + QLatin1String(name);
}

} // namespace

QString PlainTextStore::lemonfoxApiKeyURL() {
    static const QString path = inHome(".lemonfox_api_key");
    return path;
}

QString PlainTextStore::mistralApiKeyURL() {
    static const QString path = inHome(".mistral_api_key");
    return path;
}

QString PlainTextStore::providerURL() {
    static const QString path = inHome(".murmurly_transcription_provider");
    return path;
}

QString PlainTextStore::languageURL() {
    static const QString path = inHome(".murmurly_language");
    return path;
}

bool PlainTextStore::deleteFile(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    return QFile::remove(path);
}

std::optional<QString> PlainTextStore::readValue(const QString& path) {
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    // Stateless: a character cut off at the end of the file counts as invalid, not as pending.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

bool PlainTextStore::writeValue(const QString& path, const QString& value) {
    return write(path, value, std::nullopt);
}

bool PlainTextStore::writeSecret(const QString& path, const QString& value) {
    return write(path, value, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

bool PlainTextStore::write(const QString& path, const QString& value,
                           std::optional<QFileDevice::Permissions> permissions) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Set on the temporary file before anything is written, so the value is never readable by others,
    // not even for a moment, and the file keeps these permissions when it replaces the old one.
    if (permissions && !file.setPermissions(*permissions)) {
        file.cancelWriting();
        return false;
    }
    const QByteArray bytes = value.trimmed().toUtf8();
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

TranscriptionProvider PlainTextStore::readProvider() {
    const std::optional<QString> value = readValue(providerURL());
    if (!value)
        return TranscriptionProvider::lemonfox;
    return TranscriptionProvider::fromRawValue(value->toLower()).value_or(TranscriptionProvider::lemonfox);
}

bool PlainTextStore::writeProvider(TranscriptionProvider provider) {
    return writeValue(providerURL(), provider.rawValue());
}

std::optional<QString> PlainTextStore::readLanguage() {
    return readValue(languageURL());
}

bool PlainTextStore::writeLanguage(const std::optional<QString>& language) {
    const QString value = language.value_or(QString()).trimmed();
    if (value.isEmpty())
        return deleteFile(languageURL());
    return writeValue(languageURL(), value);
}

} // namespace murmurly
