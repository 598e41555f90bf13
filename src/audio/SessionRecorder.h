#pragma once

#include "audio/AudioFileWriter.h"
#include "audio/AudioFormat.h"
#include "audio/AudioInput.h"
#include "audio/LevelMeter.h"
#include "audio/PcmBuffer.h"
#include "audio/RecorderError.h"
#include "audio/SpeechGate.h"
#include "audio/VoiceActivityDetector.h"
#include "audio/WindowMixer.h"
#include "audio/WorkingFormatConverter.h"
#include "common/SerialQueue.h"

#include <QFuture>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace murmurly {

// Turns the microphone and the system audio into one speech-gated WAV per session (16 kHz mono
// 32-bit float). The two capture threads convert their buffers and line them up in the mixer
// (one lock, held for a few tens of microseconds per fragment); only a cut window goes on to one
// serial queue, "SessionRecorder.IO", which runs the voice-activity analysis, the gate and the
// file writes in order, so that state needs no lock. The IO queue wakes once per window, about
// four times a second, not for every fragment.
//
// Threads: start()/stop() on the owner's thread, or start() on a worker thread that the owner
// waits for before its next stop() (start() may wait seconds for the sound server); onLevel on the capture
// thread (once per 4096 captured frames); onVADScoreChange, onSilenceStateChange and onError on the IO queue
// (onSilenceStateChange also on the caller's thread inside start()). Callbacks must be set before the first
// start().
class SessionRecorder {
public:
    // The default microphone of the sound server and the Silero gate.
    SessionRecorder();
    // Any capture source and any gate (tests script both).
    SessionRecorder(std::unique_ptr<AudioInput> input, std::unique_ptr<VoiceActivityDetector> vad);
    // Stops capture and finishes the file (without calling back into the owner, who is going away).
    ~SessionRecorder();
    SessionRecorder(const SessionRecorder&) = delete;
    SessionRecorder& operator=(const SessionRecorder&) = delete;

    // The working format every sample is converted to.
    static const AudioFormat& targetFormat();

    std::function<void(float level)> onLevel;
    std::function<void(const RecorderError& error)> onError;
    std::function<void(bool isSilent)> onSilenceStateChange;
    std::function<void(std::optional<float> probability)> onVADScoreChange;

    // Starts a session writing to `outputPath` (a ".wav" file, created or truncated). Does nothing
    // if already running. Waits first for the previous session's stop work, so that session's file
    // is closed before any state is reset or a new file opened. Throws the writer's SystemError if
    // the file cannot be created, RecorderError::failedToStart if capture cannot start (the empty
    // file then stays on disk).
    void start(const QString& outputPath);

    // Stops capture at once and queues the stop work (flush the tails, close the file, reset the
    // session state) behind every buffer already queued. Returns before that work has run; the
    // returned future finishes when it has, which is when the file may be read. Awaitable from a
    // coroutine (co_await with QCoro). Without a running session it returns the previous stop's
    // future (already finished, or still pending if that stop work has not run yet).
    QFuture<void> stop();

    // Blocks until every stop work queued so far has run. Not from the IO queue (a callback).
    void waitForStopWork();

    // A system-audio buffer in whatever format the source delivers; ignored unless running.
    // Called from the system-audio queue; the buffer is copied.
    void ingestSystemBuffer(const PcmBuffer& buffer);

    bool isRunning() const { return m_isRunning.load(std::memory_order_acquire); }

    // Released audio reaches the file (the kernel) at every write; the header's size fields are
    // brought up to date after about this much audio, so that even a reader that does not repair
    // headers sees nearly all of an interrupted session.
    static constexpr std::int64_t kHeaderUpdateFrames = 16000;

private:
    using Windows = std::vector<std::vector<float>>;

    void handleMicBuffer(const PcmBuffer& buffer); // capture thread
    // Either capture thread: converts the buffer, hands it to the mixer as its source's next
    // samples and queues whatever windows that completes.
    void mix(bool isSystem, const PcmBuffer& buffer);
    // Every window the mixer gives now; `final` at the end of the session. Under m_mixMutex.
    Windows cutWindowsLocked(bool final);
    // IO queue from here on.
    void processWindows(Windows& windows);
    void updateSilenceState();
    void setSilent(bool silent);
    void writeSamples(const float* samples, std::size_t count);
    void reportWriteFailure(const Error& error);
    void stopWork(Windows& finalWindows, WindowMixer::Tail& tail);
    bool callbacksEnabled() const { return m_callbacksEnabled.load(std::memory_order_acquire); }
    void resetSessionState();

    std::unique_ptr<AudioInput> m_input;
    LevelMeter m_micLevel; // capture thread only
    std::unique_ptr<VoiceActivityDetector> m_vad;
    std::atomic<bool> m_isRunning{false};
    // Cleared when the recorder is destroyed: from then on no callback reaches the owner.
    std::atomic<bool> m_callbacksEnabled{true};
    QFuture<void> m_lastStopWork;

    // Session state: touched only on the IO queue, or by start() once that queue is idle.
    std::unique_ptr<AudioFileWriter> m_outputFile;
    QString m_outputPath;
    std::int64_t m_framesAtHeaderUpdate = 0;
    // A full disk fails every window from then on: a session reports its first failed write only.
    // IO queue only.
    bool m_writeFailing = false;
    bool m_isSilent = false;
    SpeechGate m_gate;
    std::optional<bool> m_speechDetected;
    std::optional<float> m_vadScore;
    SpeechGate::WriteFn m_write;

    // Both capture threads feed the mixer in the order their buffers arrive, which is what lines
    // the sources up; the windows are queued under the same lock, so they reach the IO queue in the
    // order they were cut.
    std::mutex m_mixMutex;
    bool m_mixing = false; // between start() and the moment stop() takes the tails
    WindowMixer m_mixer;
    CachedConverter m_micConverter;
    CachedConverter m_sysConverter;
    long m_micBufferCount = 0;

    // Last member: destroyed first, running whatever is still queued while the rest is alive.
    SerialQueue m_io{QStringLiteral("SessionRecorder.IO")};
};

} // namespace murmurly
