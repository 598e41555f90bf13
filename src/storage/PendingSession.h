#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace murmurly {

// A recording that has not yet been through a transcription run. Kept on disk as
// "pending_session.json" so that a quit or a crash during a session does not lose the recording.
struct PendingSession {
    QString audioPath;   // the session's mixed recording
    QDateTime startedAt; // UTC, whole seconds

    // Compact JSON: {"audioPath": ..., "startedAt": "2025-03-01T14:05:09Z"}.
    QByteArray encode() const;
    // None when the bytes are not such a record. "startedAt" is required and must be UTC with whole
    // seconds and "Z" (fractional seconds or a numeric offset are refused). "audioPath" may be
    // missing or null: older records named the recording "micPath", which is read in its place;
    // without either, audioPath is empty. Other keys are ignored.
    static std::optional<PendingSession> decode(const QByteArray& json);

    friend bool operator==(const PendingSession&, const PendingSession&) = default;
};

} // namespace murmurly
