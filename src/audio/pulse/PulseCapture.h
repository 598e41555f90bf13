#pragma once

#include "audio/AudioFormat.h"
#include "audio/PcmBuffer.h"
#include "audio/pulse/PulseMainloop.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

struct pa_time_event;
struct pa_server_info;
struct pa_sink_info;
struct pa_context;

namespace murmurly {

class PulseContext;
class PulseRecordStream;

// Captures the default input (the microphone) or the monitor of the default output (what the
// computer plays) and keeps doing so while the user changes devices or the server restarts:
//  - it follows the default: when the server's default sink or source changes, the stream is
//    reopened on the new device;
//  - when the connection to the server is lost it reports Interrupted, retries every half
//    second, and reports Resumed once the stream runs again;
//  - a first start that fails (no server, no device, no answer within five seconds) reports
//    Failed and ends the capture: the caller decides whether to try again.
//
// It owns its libpulse thread. start() and stop() may be called from any thread but the loop's;
// they hold the loop's lock only for calls that queue a message to the server, never while waiting
// for it, so the audio thread is not held up by its callers. The callbacks run on the loop thread
// and must return quickly (they hold up the audio) and must not call start() or stop().
class PulseCapture {
public:
    enum class Device { DefaultSource, DefaultSinkMonitor };
    enum class Event { Started, Failed, Interrupted, Resumed };
    using BlockCallback = std::function<void(const PcmBuffer& block)>;
    using EventCallback = std::function<void(Event event, const QString& message)>;

    // Throws SystemError when the loop thread cannot be started.
    PulseCapture(Device device, const QByteArray& threadName);
    ~PulseCapture();
    PulseCapture(const PulseCapture&) = delete;
    PulseCapture& operator=(const PulseCapture&) = delete;

    // Set before start(); replacing them while running is allowed (they are swapped under the lock).
    void setBlockCallback(BlockCallback callback);
    void setEventCallback(EventCallback callback);

    // Begins capturing in `format` (Float32) in blocks of at most `framesPerBlock` frames (the
    // server's fragments, about 50 ms) and returns at once; the outcome arrives as Started or
    // Failed. Does nothing while already capturing.
    void start(const AudioFormat& format, std::uint32_t framesPerBlock);
    // Ends the capture, first handing the block callback what the server has already sent (on the
    // calling thread). When it returns, no callback is running or will run. It never waits for the
    // server: disconnecting only queues a message.
    void stop();
    bool isCapturing();

private:
    enum class Phase { Idle, Starting, Running, Reconnecting };

    void connectContext();
    void contextReady();
    void contextLost(const QString& error);
    void reconcile();
    void reconcileNowAndLater();
    void lookAgainIn(int milliseconds);
    void reconcileDone();
    void serverInfoArrived(const pa_server_info* info);
    void sinkInfoArrived(const pa_sink_info* info, int eol);
    void noDevice(const QString& error);
    void useDevice(const QByteArray& sourceName);
    void openStream(const QByteArray& sourceName);
    void streamReady();
    void streamMoved(const QByteArray& sourceName);
    void streamFailed(const QString& error);
    void scheduleRetry();
    void fail(const QString& error);
    void teardown();
    void emitEvent(Event event, const QString& message);
    void arm(pa_time_event*& timer, int milliseconds, void (*fire)(PulseCapture*));
    void disarm(pa_time_event*& timer);

    const Device m_device;
    PulseMainloop m_loop;
    std::unique_ptr<PulseContext> m_context;
    std::unique_ptr<PulseRecordStream> m_stream;
    BlockCallback m_onBlock;
    EventCallback m_onEvent;
    Phase m_phase = Phase::Idle;
    AudioFormat m_format;
    std::uint32_t m_framesPerBlock = 0;
    // The source the stream records from.
    QByteArray m_streamSource;
    // One look-up of the default device at a time; a change that arrives meanwhile is looked up
    // again afterwards.
    bool m_reconciling = false;
    bool m_reconcileAgain = false;
    bool m_sinkSeen = false;
    pa_time_event* m_retryTimer = nullptr;
    pa_time_event* m_setupTimer = nullptr;
    pa_time_event* m_settleTimer = nullptr;
};

} // namespace murmurly
