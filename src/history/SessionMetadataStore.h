#pragma once

#include <QHash>
#include <QString>

namespace murmurly {

// The user's names for sessions: one small JSON object in the application folder mapping a session
// id to its display name. Nothing is kept in memory; every call reads the file, changes it and
// writes it back, so the history scan (on another thread) always sees a whole file.
class SessionMetadataStore {
public:
    using NameMap = QHash<QString, QString>;

    static constexpr auto kFileName = "session_metadata.json";

    // Location of the file in the application folder (created if missing).
    static QString fileLocation();

    // Stores `name` for `id`, replacing any earlier name. Failures are swallowed.
    static void setName(const QString& name, const QString& id);
    // Removes the name for `id`; the file is written even when there was none.
    static void deleteName(const QString& id);

    // The whole map. A missing or unreadable file, broken JSON, a top level that is not an object
    // or any member that is not a string all give an empty map.
    static NameMap readNames();
    static NameMap readNames(const QString& path);
    // Parses file contents with the rule above.
    static NameMap decode(const QByteArray& json);
    // Compact JSON of the map.
    static QByteArray encode(const NameMap& names);

private:
    static void write(const NameMap& names);
};

} // namespace murmurly
