#pragma once

#include "audio/AudioFormat.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>

class QObject;

namespace murmurly {

// What the sound server offers right now, as the permission objects and the microphone input need
// to know it.
struct SoundServerInfo {
    enum class Outcome {
        Reachable,   // connected and answered
        Unreachable, // no server (nothing listening, refused, no such socket)
        NoAnswer,    // connected or connecting, but no answer within the time-out
    };
    Outcome outcome = Outcome::Unreachable;
    QString error; // libpulse's reason when not reachable

    QByteArray defaultSinkName;
    QByteArray defaultSinkMonitor; // empty when there is no default sink or it has no monitor
    QByteArray defaultSourceName;  // empty when there is no default source
    // The default source's own rate and channel count, as Float32 interleaved; invalid when none.
    AudioFormat defaultSourceFormat;

    bool isReachable() const { return outcome == Outcome::Reachable; }
    bool hasCaptureSource() const { return isReachable() && !defaultSourceName.isEmpty(); }
    bool hasSinkMonitor() const { return isReachable() && !defaultSinkMonitor.isEmpty(); }
};

// Asks the sound server (PULSE_SERVER, or the session's default) about its default devices. Runs
// its own private event loop on the calling thread and gives up after `timeout`, so a hung server
// costs the caller at most that long.
class SoundServerProbe {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{2000};

    static SoundServerInfo probe(std::chrono::milliseconds timeout = kDefaultTimeout);

    // Probes on a pool thread, so that a hung server never stalls the caller's event loop, and
    // hands the answer to `done` on the main thread (where `receiver` lives); nothing is called if `receiver`
    // is gone.
    static void probeInBackground(QObject* receiver, std::function<void(const SoundServerInfo&)> done);
};

} // namespace murmurly
