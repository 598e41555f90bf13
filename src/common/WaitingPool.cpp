#include "common/WaitingPool.h"

#include <QThreadPool>

namespace murmurly {

QThreadPool& waitingPool() {
    // Enough threads for every wait that can be pending at once (the permission objects, a window
    // refresh, a start's check and the recorder's start) without one queueing behind another.
    static QThreadPool* const pool = [] {
        auto* created = new QThreadPool; // never destroyed: a wait may outlast main()
        created->setMaxThreadCount(8);
        return created;
    }();
    return *pool;
}

} // namespace murmurly
