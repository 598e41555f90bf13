#include "transcription/ApiKeyCache.h"

#include <QFile>
#include <QStringDecoder>

#include <cstdlib>

namespace murmurly {

std::optional<QString> ApiKeyCache::readKeyFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        return std::nullopt;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        return std::nullopt;
    }
    return trimmed;
}

std::optional<QString> ApiKeyCache::apiKey() {
    std::lock_guard lock(m_lock);
    if (m_cachedApiKey) {
        return m_cachedApiKey;
    }
    if (auto fromFile = readKeyFile(m_keyFilePath())) {
        m_cachedApiKey = std::move(fromFile);
        return m_cachedApiKey;
    }
    // getenv rather than qEnvironmentVariable: an empty value must stay distinguishable from an
    // unset one, since an empty value is cached as it is.
    if (const char* value = std::getenv(m_environmentVariable)) {
        m_cachedApiKey = QString::fromLocal8Bit(value);
    }
    return m_cachedApiKey;
}

void ApiKeyCache::reset() {
    std::lock_guard lock(m_lock);
    m_cachedApiKey.reset();
}

} // namespace murmurly
