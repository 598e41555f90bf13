#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

#include <cstdint>
#include <optional>

namespace murmurly {

// One past session as the history finds it on disk: the files that share its id and their sizes.
// A value record; equality and hashing cover all thirteen fields.
struct SessionHistoryEntry {
    QString id;                           // file name without kind prefix and extension
    QDateTime startedAt;                  // from the id, else the WAV's modification time, else now
    QString displayName;                  // the user's name for it, else the formatted start time
    std::optional<QString> audioURL;      // mixed recording (WAV, or its Opus copy if no WAV)
    std::optional<QString> micURL;        // microphone track
    std::optional<QString> systemURL;     // system-audio track
    std::optional<QString> transcriptURL; // id + ".txt" in the transcripts folder
    std::int64_t audioBytes = 0;          // mixed WAV
    std::int64_t micBytes = 0;            // microphone WAV
    std::int64_t systemBytes = 0;         // system WAV
    std::int64_t audioOpusBytes = 0;      // mixed Opus copy
    std::int64_t micOpusBytes = 0;        // microphone Opus copy
    std::int64_t systemOpusBytes = 0;     // system Opus copy

    // Asks the file system on every call: the transcript may have been written or removed since
    // the scan.
    bool hasTranscript() const;

    std::int64_t wavBytes() const { return audioBytes + micBytes + systemBytes; }
    std::int64_t opusBytes() const { return audioOpusBytes + micOpusBytes + systemOpusBytes; }

    friend bool operator==(const SessionHistoryEntry&, const SessionHistoryEntry&) = default;
};

size_t qHash(const SessionHistoryEntry& entry, size_t seed = 0) noexcept;

} // namespace murmurly

Q_DECLARE_METATYPE(murmurly::SessionHistoryEntry)
