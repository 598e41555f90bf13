#pragma once

#include "audio/AudioInput.h"

#include <QString>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace murmurly {

class PulseCapture;

// The microphone: a record stream on the sound server's default source, in the source's own rate
// and channel count as float32 (interleaved when it has several channels). It follows the default
// source when the user picks another one and reconnects when the server restarts; the tap's format
// stays the one inputFormat() gave for the whole session (the server converts).
class PulseAudioInput : public AudioInput {
public:
    // Called on the tap thread when the server goes away (true, with the reason) and when capture
    // resumes after it came back (false). Set before start().
    std::function<void(bool interrupted, const QString& message)> onInterruption;

    PulseAudioInput();
    ~PulseAudioInput() override;

    // The default source's format, asked of the server once per session (until stop()); an invalid
    // format (rate 0) when there is no server or no source.
    AudioFormat inputFormat() override;
    // Blocks of exactly `bufferSize` frames (4096 when 0), applied at the next start().
    void installTap(std::uint32_t bufferSize, TapBlock block) override;
    void removeTap() override;
    // Waits until the stream runs (at most a few seconds); throws SystemError with the server's
    // reason when it cannot. Does nothing while already running, and captures nothing (the tap
    // stays silent) when the default source is the monitor of the default output, which the
    // system-audio source records already.
    void start() override;
    void stop() override;

private:
    std::unique_ptr<PulseCapture> m_capture; // null when its thread could not be started
    QString m_captureError;
    std::optional<AudioFormat> m_format;
    QString m_formatError;
    // The default source is the default sink's monitor: the session records no microphone.
    bool m_inputIsOutputMonitor = false;
    std::uint32_t m_framesPerBlock = 4096;

    // The outcome of a start, handed from the tap thread to the waiting start().
    std::mutex m_mutex;
    std::condition_variable m_outcomeArrived;
    std::optional<bool> m_started;
    QString m_startMessage;
};

} // namespace murmurly
