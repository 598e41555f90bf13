#pragma once

#include "storage/PendingSession.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace murmurly {

// Where a session's files live and what they are called. All sessions share two folders: the
// application folder ($XDG_DATA_HOME/Murmurly) holds the WAV recordings and the small JSON
// records; its "transcripts" subfolder holds the transcripts and the Ogg/Opus copies. A session is
// named by its id, the ISO 8601 UTC start time with whole seconds (2025-03-01T14:05:09Z).
//
// Stateless and callable from any thread: everything here touches only the file system.
// Housekeeping failures (a folder that cannot be made, a record that cannot be removed) are
// ignored; the operations still return their locations.
class SessionStore {
public:
    SessionStore() = delete;

    // Created (with missing parents) when absent.
    static QString appSupportDirectory();
    static QString transcriptsDirectory();
    static QString pendingSessionPath(); // "pending_session.json" in the application folder

    // Recording name prefixes, in the order they are tried: "mixed-", "mic-", "system-".
    static const QStringList& namePrefixes();
    // Audio suffixes, in the order they are tried: ".wav", ".opus", ".ogg".
    static const QStringList& audioSuffixes();

    // The id of a session started at `time` (UTC, whole seconds, "Z").
    static QString sessionIDFor(const QDateTime& time);
    // A new session starting now: "mixed-" + id + ".wav" in the application folder. Creates no file.
    static PendingSession createNewSession();

    // Writes the pending record atomically, replacing an earlier one; false on failure.
    static bool writePending(const PendingSession& session);
    // The pending record, or none when it is missing or cannot be decoded (it is left on disk).
    static std::optional<PendingSession> readPending();
    static void clearPending();

    // Writes id + ".txt" (UTF-8) in the transcripts folder atomically; failures are ignored.
    static void saveTranscript(const QString& text, const QString& id);

    // The id in a file name such as "mixed-<id>.wav" for the given prefix; case-sensitive; none
    // when the name has another prefix or none of the audio suffixes.
    static std::optional<QString> sessionID(const QString& path, const QString& prefix);
    // The Opus copy of a recording: its base name + ".opus" in the transcripts folder; none when
    // the name carries none of the recording prefixes.
    static std::optional<QString> opusURL(const QString& path);
};

} // namespace murmurly
