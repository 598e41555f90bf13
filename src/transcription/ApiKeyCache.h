#pragma once

#include <QString>

#include <functional>
#include <mutex>
#include <optional>

namespace murmurly {

// The lookup of one service's API key, with its cache and the lock that guards it. The key file in
// the home folder wins over the environment variable; the variable's value is taken as it is (even
// empty) and cached until reset() — the settings window resets after the user changes a key.
// Thread-safe: the file and the environment are read while the lock is held.
class ApiKeyCache {
public:
    ApiKeyCache(std::function<QString()> keyFilePath, const char* environmentVariable)
        : m_keyFilePath(std::move(keyFilePath))
        , m_environmentVariable(environmentVariable) {}

    std::optional<QString> apiKey();
    void reset();

    // The key file's value: the whole file decoded as UTF-8 and trimmed; absent when the file is
    // missing, unreadable, not valid UTF-8 or blank.
    static std::optional<QString> readKeyFile(const QString& path);

private:
    std::function<QString()> m_keyFilePath;
    const char* m_environmentVariable;
    std::mutex m_lock;
    std::optional<QString> m_cachedApiKey;
};

} // namespace murmurly
