#pragma once

#include "audio/AudioFormat.h"
#include "audio/PcmBuffer.h"

#include <cstdint>
#include <functional>

namespace murmurly {

// A live capture source with a tap, as the session recorder uses the microphone: it reads the
// input format, installs a tap, starts and stops. The sound-server backend implements it for the
// default source; tests may feed buffers from a script.
class AudioInput {
public:
    // Called on the capture thread for every block; the buffer is valid only during the call.
    using TapBlock = std::function<void(const PcmBuffer& buffer)>;

    virtual ~AudioInput() = default;
    // The format the tap's buffers arrive in (the device's native rate and channels, float32).
    virtual AudioFormat inputFormat() = 0;
    // Blocks of about `bufferSize` frames; replaces an earlier tap.
    virtual void installTap(std::uint32_t bufferSize, TapBlock block) = 0;
    virtual void removeTap() = 0;
    // Throws SystemError when capture cannot start (no sound server, no source).
    virtual void start() = 0;
    // Returns once no tap call is running or will run.
    virtual void stop() = 0;
};

} // namespace murmurly
