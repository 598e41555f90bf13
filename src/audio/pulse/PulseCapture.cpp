#include "audio/pulse/PulseCapture.h"

#include "audio/pulse/PulseContext.h"
#include "audio/pulse/PulseLog.h"
#include "audio/pulse/PulseRecordStream.h"
#include "common/Error.h"

#include <pulse/introspect.h>
#include <pulse/mainloop-api.h>
#include <pulse/timeval.h>

#include <utility>

namespace murmurly {

namespace {

constexpr int kRetryMilliseconds = 500;
constexpr int kSettleMilliseconds = 500;
constexpr int kRecheckMilliseconds = 2000;
// A server that accepts the connection but never answers (stopped, overloaded) must not leave the
// caller waiting forever for Started.
constexpr int kSetupTimeoutMilliseconds = 5000;

} // namespace

PulseCapture::PulseCapture(Device device, const QByteArray& threadName)
    : m_device(device)
    , m_loop(threadName) {}

PulseCapture::~PulseCapture() {
    stop();
}

void PulseCapture::setBlockCallback(BlockCallback callback) {
    PulseLock lock(m_loop);
    m_onBlock = std::move(callback);
}

void PulseCapture::setEventCallback(EventCallback callback) {
    PulseLock lock(m_loop);
    m_onEvent = std::move(callback);
}

void PulseCapture::start(const AudioFormat& format, std::uint32_t framesPerBlock) {
    PulseLock lock(m_loop);
    if (m_phase != Phase::Idle)
        return;
    m_format = format;
    m_framesPerBlock = framesPerBlock;
    m_phase = Phase::Starting;
    arm(m_setupTimer, kSetupTimeoutMilliseconds, [](PulseCapture* self) {
        if (self->m_phase == Phase::Starting)
            self->fail(QStringLiteral("The sound server did not answer"));
    });
    connectContext();
}

void PulseCapture::stop() {
    PulseLock lock(m_loop);
    // What the server already sent goes to the block callback before the stream is closed.
    if (m_stream && m_phase == Phase::Running)
        m_stream->drain();
    teardown();
    m_phase = Phase::Idle;
}

bool PulseCapture::isCapturing() {
    PulseLock lock(m_loop);
    return m_phase != Phase::Idle;
}

void PulseCapture::connectContext() {
    m_context = std::make_unique<PulseContext>(m_loop, QByteArrayLiteral("Murmurly"));
    m_context->onReady = [this] { contextReady(); };
    m_context->onLost = [this](const QString& error) { contextLost(error); };
    m_context->onDevicesChanged = [this] { reconcileNowAndLater(); };
    QString error;
    if (!m_context->connect(&error))
        contextLost(error);
}

void PulseCapture::contextReady() {
    qCDebug(lcSoundServer, "Connected to the sound server");
    reconcile();
}

void PulseCapture::contextLost(const QString& error) {
    m_stream.reset();
    m_context.reset();
    m_reconciling = m_reconcileAgain = false;
    m_streamSource.clear();
    switch (m_phase) {
    case Phase::Starting:
        fail(error);
        return;
    case Phase::Running:
        qCWarning(lcSoundServer, "Lost the sound server: %s", qUtf8Printable(error));
        m_phase = Phase::Reconnecting;
        emitEvent(Event::Interrupted, error);
        break;
    case Phase::Reconnecting:
    case Phase::Idle:
        break;
    }
    if (m_phase == Phase::Reconnecting)
        scheduleRetry();
}

// Brings the stream onto the current default device: opens it if there is none, reopens it there
// if the default changed. Runs when the connection is ready, on every device change and after a stream
// failure.
void PulseCapture::reconcile() {
    if (!m_context || !m_context->isReady() || m_phase == Phase::Idle)
        return;
    if (m_reconciling) {
        m_reconcileAgain = true;
        return;
    }
    m_reconciling = true;
    pa_operation* op = pa_context_get_server_info(
        m_context->handle(),
        [](pa_context*, const pa_server_info* info, void* userdata) {
            static_cast<PulseCapture*>(userdata)->serverInfoArrived(info);
        },
        this);
    if (!op) {
        serverInfoArrived(nullptr);
        return;
    }
    pa_operation_unref(op);
}

// PipeWire announces a new default when it is chosen, but its answers name it only once the
// session manager has applied it, and no event says so; meanwhile a look-up still names the old
// device. On a busy machine that takes seconds. So besides looking at once, the capture looks again
// half a second after every change and then every two seconds while it runs (one small question
// to the server each time).
void PulseCapture::reconcileNowAndLater() {
    reconcile();
    lookAgainIn(kSettleMilliseconds);
}

void PulseCapture::lookAgainIn(int milliseconds) {
    arm(m_settleTimer, milliseconds, [](PulseCapture* self) {
        if (self->m_phase == Phase::Idle)
            return;
        self->reconcile();
        self->lookAgainIn(kRecheckMilliseconds);
    });
}

void PulseCapture::reconcileDone() {
    m_reconciling = false;
    if (m_reconcileAgain) {
        m_reconcileAgain = false;
        reconcile();
    }
}

void PulseCapture::serverInfoArrived(const pa_server_info* info) {
    const char* name = nullptr;
    if (info)
        name = m_device == Device::DefaultSource ? info->default_source_name : info->default_sink_name;
    if (!name || !*name) {
        noDevice(m_device == Device::DefaultSource ? QStringLiteral("The sound server has no input device")
                                                   : QStringLiteral("The sound server has no output device"));
        return;
    }
    if (m_device == Device::DefaultSource) {
        useDevice(QByteArray(name));
        return;
    }
    m_sinkSeen = false;
    pa_operation* op = pa_context_get_sink_info_by_name(
        m_context->handle(), name,
        [](pa_context*, const pa_sink_info* sink, int eol, void* userdata) {
            static_cast<PulseCapture*>(userdata)->sinkInfoArrived(sink, eol);
        },
        this);
    if (!op) {
        sinkInfoArrived(nullptr, -1);
        return;
    }
    pa_operation_unref(op);
}

void PulseCapture::sinkInfoArrived(const pa_sink_info* sink, int eol) {
    if (sink) {
        m_sinkSeen = true;
        if (sink->monitor_source_name && *sink->monitor_source_name)
            useDevice(QByteArray(sink->monitor_source_name));
        else
            noDevice(QStringLiteral("The sound server's output device cannot be recorded"));
        return;
    }
    // The list ends with a marker after the one sink; without a sink before it (or on an error) the
    // default sink vanished between the two questions.
    if (eol < 0 || !m_sinkSeen)
        noDevice(QStringLiteral("The sound server has no output device"));
}

// No default device right now. At the first start that is a failure; while running, the stream
// (if the server kept it alive on another device) goes on, and the next device change looks again.
void PulseCapture::noDevice(const QString& error) {
    if (m_phase == Phase::Starting) {
        fail(error);
        return;
    }
    qCWarning(lcSoundServer, "%s", qUtf8Printable(error));
    reconcileDone();
    if (!m_stream)
        scheduleRetry();
}

// A stream is never moved to another device, it is replaced by one opened there. PipeWire says
// yes to a move onto a monitor and then links the stream to the default sink's monitor instead,
// sometimes without telling (so the capture would record the wrong device for good); and it
// keeps every move as the user's choice for the application, which would follow the user into
// later sessions. Opening a stream by name lands where asked on both servers; the cost is the
// part of a block that was not yet delivered when the device changes.
void PulseCapture::useDevice(const QByteArray& sourceName) {
    if (m_stream && sourceName != m_streamSource) {
        qCInfo(lcSoundServer, "Following the default device to %s", sourceName.constData());
        m_stream.reset();
    }
    if (!m_stream)
        openStream(sourceName);
    reconcileDone();
}

void PulseCapture::openStream(const QByteArray& sourceName) {
    try {
        m_stream = std::make_unique<PulseRecordStream>(m_context->handle(), m_format, m_framesPerBlock);
    } catch (const Error& error) {
        streamFailed(error.description());
        return;
    }
    m_stream->onBlock = [this](const PcmBuffer& block) {
        if (m_onBlock)
            m_onBlock(block);
    };
    m_stream->onReady = [this] { streamReady(); };
    m_stream->onFailed = [this](const QString& error) { streamFailed(error); };
    m_stream->onMoved = [this](const QByteArray& source) { streamMoved(source); };
    m_streamSource = sourceName;
    QString error;
    if (!m_stream->connect(sourceName, &error))
        streamFailed(error);
}

void PulseCapture::streamReady() {
    disarm(m_setupTimer);
    lookAgainIn(kRecheckMilliseconds);
    if (m_phase == Phase::Starting) {
        m_phase = Phase::Running;
        qCInfo(lcSoundServer, "Capturing from %s", m_streamSource.constData());
        emitEvent(Event::Started, QString::fromUtf8(m_streamSource));
    } else if (m_phase == Phase::Reconnecting) {
        m_phase = Phase::Running;
        qCInfo(lcSoundServer, "Capture resumed on %s", m_streamSource.constData());
        emitEvent(Event::Resumed, QString::fromUtf8(m_streamSource));
    }
}

// The server moves streams by itself: to a new default source (PulseAudio 15 and later move
// streams that were on the old default), or away from a device that vanished. For the monitor of
// the default sink that can be the wrong place, so look again where the stream belongs.
void PulseCapture::streamMoved(const QByteArray& sourceName) {
    if (sourceName == m_streamSource)
        return;
    qCInfo(lcSoundServer, "The server moved the capture to %s", sourceName.constData());
    m_streamSource = sourceName;
    reconcileNowAndLater();
}

void PulseCapture::streamFailed(const QString& error) {
    m_stream.reset();
    m_streamSource.clear();
    if (m_phase == Phase::Starting) {
        fail(error);
        return;
    }
    if (m_phase == Phase::Idle)
        return;
    // The device went away under the stream: look again shortly (a device change will usually
    // have triggered a look-up before the retry fires).
    qCWarning(lcSoundServer, "Capture stream ended: %s", qUtf8Printable(error));
    scheduleRetry();
}

void PulseCapture::scheduleRetry() {
    arm(m_retryTimer, kRetryMilliseconds, [](PulseCapture* self) {
        if (self->m_phase == Phase::Idle || self->m_phase == Phase::Starting)
            return;
        if (!self->m_context)
            self->connectContext();
        else if (!self->m_stream)
            self->reconcile();
    });
}

void PulseCapture::fail(const QString& error) {
    qCWarning(lcSoundServer, "Capture failed to start: %s", qUtf8Printable(error));
    teardown();
    m_phase = Phase::Idle;
    emitEvent(Event::Failed, error);
}

void PulseCapture::teardown() {
    disarm(m_retryTimer);
    disarm(m_setupTimer);
    disarm(m_settleTimer);
    m_stream.reset();
    m_context.reset();
    m_reconciling = m_reconcileAgain = false;
    m_streamSource.clear();
}

void PulseCapture::emitEvent(Event event, const QString& message) {
    if (m_onEvent)
        m_onEvent(event, message);
}

void PulseCapture::arm(pa_time_event*& timer, int milliseconds, void (*fire)(PulseCapture*)) {
    disarm(timer);
    struct Shot {
        PulseCapture* self;
        pa_time_event** slot;
        void (*fire)(PulseCapture*);
    };
    timeval when;
    pa_timeval_add(pa_gettimeofday(&when), static_cast<pa_usec_t>(milliseconds) * PA_USEC_PER_MSEC);
    // The shot is owned by the timer: freed when it fires or when it is disarmed.
    auto* owned = new Shot{this, &timer, fire};
    pa_mainloop_api* api = m_loop.api();
    timer = api->time_new(
        api, &when,
        [](pa_mainloop_api* a, pa_time_event* event, const timeval*, void* userdata) {
            const Shot shot = *static_cast<Shot*>(userdata);
            *shot.slot = nullptr;
            a->time_free(event); // frees the shot
            shot.fire(shot.self);
        },
        owned);
    api->time_set_destroy(
        timer, [](pa_mainloop_api*, pa_time_event*, void* userdata) { delete static_cast<Shot*>(userdata); });
}

void PulseCapture::disarm(pa_time_event*& timer) {
    if (!timer)
        return;
    m_loop.api()->time_free(timer);
    timer = nullptr;
}

} // namespace murmurly
