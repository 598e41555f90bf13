// The folder scan of SessionHistoryStore, kept apart from the main-thread operations because it runs
// on the thread pool and must not touch any store state.
#include "history/SessionDateFormatter.h"
#include "history/SessionHistoryStore.h"
#include "history/SessionMetadataStore.h"
#include "storage/SessionStore.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <array>

namespace murmurly {

namespace {

using Entry = SessionHistoryEntry;

enum class Kind { mixed, mic, system };

struct KindPrefix {
    Kind kind;
    QString prefix;
};

// Tried in this order; "mic-" cannot shadow "mixed-" as neither is a prefix of the other.
const std::array<KindPrefix, 3>& kindPrefixes() {
    static const std::array<KindPrefix, 3> prefixes{{{Kind::mixed, QStringLiteral("mixed-")},
                                                     {Kind::mic, QStringLiteral("mic-")},
                                                     {Kind::system, QStringLiteral("system-")}}};
    return prefixes;
}

struct Identified {
    Kind kind;
    QString id;
};

// Kind by the first matching prefix (case-sensitive), then the id by removing it and one audio
// suffix. "mixed-X.WAV" has the right extension for the listing filter but no id: it is skipped.
std::optional<Identified> identify(const QFileInfo& file) {
    const QString name = file.fileName();
    for (const KindPrefix& kp : kindPrefixes()) {
        if (!name.startsWith(kp.prefix))
            continue;
        if (const std::optional<QString> id = SessionStore::sessionID(file.filePath(), kp.prefix))
            return Identified{kp.kind, *id};
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<QString>& locationField(Entry& e, Kind kind) {
    switch (kind) {
    case Kind::mixed:
        return e.audioURL;
    case Kind::mic:
        return e.micURL;
    case Kind::system:
        break;
    }
    return e.systemURL;
}

std::int64_t& wavBytesField(Entry& e, Kind kind) {
    switch (kind) {
    case Kind::mixed:
        return e.audioBytes;
    case Kind::mic:
        return e.micBytes;
    case Kind::system:
        break;
    }
    return e.systemBytes;
}

std::int64_t& opusBytesField(Entry& e, Kind kind) {
    switch (kind) {
    case Kind::mixed:
        return e.audioOpusBytes;
    case Kind::mic:
        return e.micOpusBytes;
    case Kind::system:
        break;
    }
    return e.systemOpusBytes;
}

// Non-recursive and unsorted (the entries are sorted at the end). QDirIterator takes the file type
// from the directory entry itself; size and modification time are read once, on first use, and
// cached in the QFileInfo. It is several times cheaper than QDir::entryInfoList, which builds and
// filters extra lists. A folder that cannot be read lists as empty.
QFileInfoList listFolder(const QString& folder, QDir::Filters filters) {
    QFileInfoList files;
    QDirIterator it(folder, filters | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        files.append(it.fileInfo());
    }
    return files;
}

bool isHidden(const QFileInfo& file) {
    return file.fileName().startsWith(u'.');
}

class ScanState {
public:
    ScanState()
        : m_appFolder(SessionStore::appSupportDirectory())
        , m_transcriptsFolder(SessionStore::transcriptsDirectory())
        , m_names(SessionMetadataStore::readNames(
              QDir(m_appFolder).filePath(QString::fromLatin1(SessionMetadataStore::kFileName))))
        , m_transcriptsListing(listFolder(m_transcriptsFolder, QDir::Files | QDir::Dirs | QDir::Hidden)) {
        // Which transcripts exist, from the one listing of their folder that the Opus pass needs
        // anyway: asking the file system once per session would double the scan's system calls.
        // Hidden names and folders count too, as a direct existence check would see them.
        for (const QFileInfo& file : m_transcriptsListing) {
            if (file.fileName().endsWith(u".txt"))
                m_transcriptNames.insert(file.fileName());
        }
    }

    void scanRecordings() {
        for (const QFileInfo& file : listFolder(m_appFolder, QDir::Files)) {
            if (file.suffix().toLower() != u"wav")
                continue;
            const std::optional<Identified> found = identify(file);
            if (!found)
                continue;
            Entry& entry = entryFor(found->id, [&] {
                QDateTime date = SessionDateFormatter::parseInternetDateTime(found->id);
                if (!date.isValid())
                    date = file.lastModified().toUTC();
                return date.isValid() ? date : QDateTime::currentDateTimeUtc();
            });
            locationField(entry, found->kind) = file.filePath();
            wavBytesField(entry, found->kind) = std::max<std::int64_t>(file.size(), 0);
            attachTranscript(entry);
        }
    }

    void scanOpusCopies() {
        for (const QFileInfo& file : m_transcriptsListing) {
            if (!file.isFile() || isHidden(file) || file.suffix().toLower() != u"opus")
                continue;
            const std::optional<Identified> found = identify(file);
            if (!found)
                continue;
            // An Opus copy's time stamp says when it was encoded, not when the session started, so
            // an id that is no date falls back to the current time instead.
            Entry& entry = entryFor(found->id, [&] {
                const QDateTime date = SessionDateFormatter::parseInternetDateTime(found->id);
                return date.isValid() ? date : QDateTime::currentDateTimeUtc();
            });
            opusBytesField(entry, found->kind) = std::max<std::int64_t>(file.size(), 0);
            std::optional<QString>& location = locationField(entry, found->kind);
            if (!location)
                location = file.filePath();
            attachTranscript(entry);
        }
    }

    QList<Entry> sortedEntries() {
        QList<Entry> entries;
        entries.reserve(m_entries.size());
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
            entries.append(std::move(it.value()));
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            if (a.startedAt != b.startedAt)
                return a.startedAt > b.startedAt;
            return a.id > b.id;
        });
        return entries;
    }

private:
    template <typename DateSource>
    Entry& entryFor(const QString& id, DateSource dateOf) {
        auto it = m_entries.find(id);
        if (it != m_entries.end())
            return it.value();
        Entry entry;
        entry.id = id;
        entry.startedAt = dateOf();
        const auto named = m_names.constFind(id);
        entry.displayName = named != m_names.cend() ? named.value() : m_formatter.format(entry.startedAt);
        return m_entries.insert(id, std::move(entry)).value();
    }

    void attachTranscript(Entry& entry) {
        const QString name = entry.id + QStringLiteral(".txt");
        if (m_transcriptNames.contains(name))
            entry.transcriptURL = QDir(m_transcriptsFolder).filePath(name);
    }

    QString m_appFolder;
    QString m_transcriptsFolder;
    SessionMetadataStore::NameMap m_names;
    QFileInfoList m_transcriptsListing;
    QSet<QString> m_transcriptNames;
    SessionDateFormatter m_formatter;
    QHash<QString, Entry> m_entries;
};

} // namespace

QList<SessionHistoryEntry> SessionHistoryStore::scanEntries() {
    ScanState scan;
    scan.scanRecordings();
    scan.scanOpusCopies();
    return scan.sortedEntries();
}

} // namespace murmurly
