#include "audio/SoundServerProbe.h"

#include "common/WaitingPool.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/rtclock.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace murmurly {

namespace {

// The probe's questions are chained: connect, then the server's defaults, then the default sink's
// monitor and the default source's format. `pending` counts the answers still to come.
struct ProbeState {
    SoundServerInfo info;
    int pending = 0;
    bool finished = false;
};

void finishIfDone(ProbeState& state) {
    if (state.pending == 0) {
        state.info.outcome = SoundServerInfo::Outcome::Reachable;
        state.finished = true;
    }
}

void sinkInfoArrived(pa_context*, const pa_sink_info* sink, int eol, void* userdata) {
    auto& state = *static_cast<ProbeState*>(userdata);
    if (sink && sink->monitor_source_name)
        state.info.defaultSinkMonitor = sink->monitor_source_name;
    if (eol != 0) {
        --state.pending;
        finishIfDone(state);
    }
}

void sourceInfoArrived(pa_context*, const pa_source_info* source, int eol, void* userdata) {
    auto& state = *static_cast<ProbeState*>(userdata);
    if (source) {
        state.info.defaultSourceFormat = {static_cast<double>(source->sample_spec.rate),
                                          source->sample_spec.channels, SampleType::Float32,
                                          source->sample_spec.channels > 1};
    }
    if (eol != 0) {
        // A default source that no longer exists is as good as none.
        if (!state.info.defaultSourceFormat.isValid())
            state.info.defaultSourceName.clear();
        --state.pending;
        finishIfDone(state);
    }
}

void serverInfoArrived(pa_context* context, const pa_server_info* server, void* userdata) {
    auto& state = *static_cast<ProbeState*>(userdata);
    --state.pending;
    if (server && server->default_sink_name && *server->default_sink_name) {
        state.info.defaultSinkName = server->default_sink_name;
        if (pa_operation* op = pa_context_get_sink_info_by_name(context, server->default_sink_name,
                                                                &sinkInfoArrived, &state)) {
            ++state.pending;
            pa_operation_unref(op);
        }
    }
    if (server && server->default_source_name && *server->default_source_name) {
        state.info.defaultSourceName = server->default_source_name;
        if (pa_operation* op = pa_context_get_source_info_by_name(context, server->default_source_name,
                                                                  &sourceInfoArrived, &state)) {
            ++state.pending;
            pa_operation_unref(op);
        } else {
            state.info.defaultSourceName.clear();
        }
    }
    finishIfDone(state);
}

void contextStateChanged(pa_context* context, void* userdata) {
    auto& state = *static_cast<ProbeState*>(userdata);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        if (pa_operation* op = pa_context_get_server_info(context, &serverInfoArrived, &state)) {
            ++state.pending;
            pa_operation_unref(op);
        } else {
            state.info.error = QString::fromUtf8(pa_strerror(pa_context_errno(context)));
            state.finished = true;
        }
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        state.info.outcome = SoundServerInfo::Outcome::Unreachable;
        state.info.error = QString::fromUtf8(pa_strerror(pa_context_errno(context)));
        state.finished = true;
        break;
    default:
        break;
    }
}

struct MainloopDeleter {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct ContextDeleter {
    void operator()(pa_context* context) const {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};

} // namespace

SoundServerInfo SoundServerProbe::probe(std::chrono::milliseconds timeout) {
    ProbeState state;
    std::unique_ptr<pa_mainloop, MainloopDeleter> loop(pa_mainloop_new());
    if (!loop) {
        state.info.error = QStringLiteral("Cannot create a sound-server event loop");
        return state.info;
    }
    std::unique_ptr<pa_context, ContextDeleter> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "Murmurly probe"));
    if (!context) {
        state.info.error = QStringLiteral("Cannot create a sound-server connection");
        return state.info;
    }
    pa_context_set_state_callback(context.get(), &contextStateChanged, &state);
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        state.info.error = QString::fromUtf8(pa_strerror(pa_context_errno(context.get())));
        return state.info;
    }

    const pa_usec_t deadline = pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC;
    while (!state.finished) {
        const pa_usec_t now = pa_rtclock_now();
        if (now >= deadline)
            break;
        // Each iteration waits at most until the deadline; answers end the wait early.
        if (pa_mainloop_prepare(loop.get(), static_cast<int>(std::min<pa_usec_t>(deadline - now, INT_MAX))) <
                0 ||
            pa_mainloop_poll(loop.get()) < 0 || pa_mainloop_dispatch(loop.get()) < 0)
            break;
    }
    if (!state.finished) {
        state.info = SoundServerInfo{};
        state.info.outcome = SoundServerInfo::Outcome::NoAnswer;
        state.info.error = QStringLiteral("The sound server did not answer");
    }
    // The context goes before its loop (declaration order reversed on return).
    return state.info;
}

void SoundServerProbe::probeInBackground(QObject* receiver,
                                         std::function<void(const SoundServerInfo&)> done) {
    QPointer<QObject> guard(receiver);
    waitingPool().start([guard, done = std::move(done)] {
        const SoundServerInfo info = probe();
        // Queued through the application object, which outlives every receiver; the guard is read
        // only there, on the main thread, where receivers are destroyed.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, done, info] {
                if (guard)
                    done(info);
            },
            Qt::QueuedConnection);
    });
}

} // namespace murmurly
