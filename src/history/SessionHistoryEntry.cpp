#include "history/SessionHistoryEntry.h"

#include <QFileInfo>
#include <QHashFunctions>

namespace murmurly {

bool SessionHistoryEntry::hasTranscript() const {
    return transcriptURL && QFileInfo::exists(*transcriptURL);
}

namespace {
// An unset location must not hash like an empty one, as equality tells them apart.
size_t hashLocation(const std::optional<QString>& location, size_t seed) {
    return location ? qHashMulti(seed, true, *location) : qHashMulti(seed, false);
}
} // namespace

size_t qHash(const SessionHistoryEntry& e, size_t seed) noexcept {
    seed = qHashMulti(seed, e.id, e.startedAt, e.displayName, qint64(e.audioBytes), qint64(e.micBytes),
                      qint64(e.systemBytes), qint64(e.audioOpusBytes), qint64(e.micOpusBytes),
                      qint64(e.systemOpusBytes));
    seed = hashLocation(e.audioURL, seed);
    seed = hashLocation(e.micURL, seed);
    seed = hashLocation(e.systemURL, seed);
    return hashLocation(e.transcriptURL, seed);
}

} // namespace murmurly
