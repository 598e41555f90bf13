#pragma once

#include "storage/TranscriptionProvider.h"

#include <QFileDevice>
#include <QString>

#include <optional>

namespace murmurly {

// The four settings files in the home folder, one value each, so that a user can also set them
// from a terminal. Reading is lenient: the whole file, decoded as UTF-8 and trimmed of white space
// and line breaks; a missing, unreadable, non-UTF-8 or blank file means the value is absent.
// Writing is atomic: the trimmed value as UTF-8, without a line break.
class PlainTextStore {
public:
    PlainTextStore() = delete;

    // Home folder + file name, computed on first use and kept for the life of the process.
    static QString lemonfoxApiKeyURL(); // ~/.lemonfox_api_key
    static QString mistralApiKeyURL();  // ~/.mistral_api_key
    static QString providerURL();       // ~/.murmurly_transcription_provider
    static QString languageURL();       // ~/.murmurly_language

    // True when no file is left at `path` (also when there was none); false when removal failed.
    static bool deleteFile(const QString& path);

    static std::optional<QString> readValue(const QString& path);
    // Writes `value` trimmed; false on failure.
    static bool writeValue(const QString& path, const QString& value);
    // The same for an API key: the file is readable and writable by its owner only.
    static bool writeSecret(const QString& path, const QString& value);

    // The stored provider, lower-cased first; anything but "mistral" (or nothing) means Lemonfox.
    static TranscriptionProvider readProvider();
    static bool writeProvider(TranscriptionProvider provider);

    // The stored default language, or none (the service then detects the language).
    static std::optional<QString> readLanguage();
    // Writes the value trimmed; an absent or blank value removes the file instead.
    static bool writeLanguage(const std::optional<QString>& language);

private:
    static bool write(const QString& path, const QString& value,
                      std::optional<QFileDevice::Permissions> permissions);
};

} // namespace murmurly
