#pragma once

class QThreadPool;

namespace murmurly {

// The thread pool for work that mostly waits on something outside the process, such as a sound
// server that may take seconds to answer or never answer at all. It is kept apart from Qt's global
// pool on purpose: Qt's raster painting hands parts of large fills to the global pool and waits for
// them on the main thread, so a few hung waits there would freeze the window.
QThreadPool& waitingPool();

} // namespace murmurly
