#include "audio/pulse/PulseLog.h"

namespace murmurly {

Q_LOGGING_CATEGORY(lcSoundServer, "com.murmurly.app.SoundServer")

} // namespace murmurly
