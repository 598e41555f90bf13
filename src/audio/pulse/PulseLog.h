#pragma once

#include <QLoggingCategory>

namespace murmurly {

// The sound-server backend logs connection, stream and device-change events here (never per
// block: logging may write to disk, and the callbacks run on the real-time mainloop thread).
Q_DECLARE_LOGGING_CATEGORY(lcSoundServer)

} // namespace murmurly
