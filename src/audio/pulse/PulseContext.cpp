#include "audio/pulse/PulseContext.h"

#include "audio/pulse/PulseLog.h"
#include "audio/pulse/PulseMainloop.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/subscribe.h>

namespace murmurly {

PulseContext::PulseContext(PulseMainloop& loop, const QByteArray& clientName)
    : m_context(pa_context_new(loop.api(), clientName.constData())) {}

PulseContext::~PulseContext() {
    release();
}

void PulseContext::release() {
    if (!m_context)
        return;
    pa_context_set_state_callback(m_context, nullptr, nullptr);
    pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
    pa_context_disconnect(m_context);
    pa_context_unref(m_context);
    m_context = nullptr;
}

bool PulseContext::connect(QString* error) {
    if (!m_context) {
        *error = QStringLiteral("Cannot create a sound-server connection");
        return false;
    }
    pa_context_set_state_callback(m_context, &PulseContext::stateCallback, this);
    // No autospawn: a test's private server or the session's own server is the one to use; starting
    // another daemon behind the user's back would capture from the wrong place.
    // libpulse may report a failure through the state callback while still inside
    // pa_context_connect; that one is reported by the return value instead, so that the owner is
    // never called back (and never destroys us) in the middle of this call.
    m_connecting = true;
    m_failedWhileConnecting = false;
    const bool started = pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    m_connecting = false;
    if (!started || m_failedWhileConnecting) {
        *error = lastError();
        release();
        return false;
    }
    return true;
}

bool PulseContext::isReady() const {
    return m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY;
}

QString PulseContext::lastError() const {
    if (!m_context)
        return QStringLiteral("Not connected to the sound server");
    return QString::fromUtf8(pa_strerror(pa_context_errno(m_context)));
}

void PulseContext::stateCallback(pa_context* context, void* userdata) {
    auto* self = static_cast<PulseContext*>(userdata);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        pa_context_set_subscribe_callback(context, &PulseContext::subscribeCallback, self);
        const auto mask = static_cast<pa_subscription_mask_t>(
            PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE);
        if (pa_operation* op = pa_context_subscribe(context, mask, nullptr, nullptr))
            pa_operation_unref(op);
        if (self->onReady)
            self->onReady();
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED: {
        if (self->m_connecting) {
            self->m_failedWhileConnecting = true;
            break;
        }
        const QString error = self->lastError();
        self->release();
        // The owner usually destroys this object in onLost: call a copy, not our own member.
        if (auto lost = self->onLost)
            lost(error);
        break;
    }
    default:
        break;
    }
}

void PulseContext::subscribeCallback(pa_context*, pa_subscription_event_type_t eventType, std::uint32_t,
                                     void* userdata) {
    auto* self = static_cast<PulseContext*>(userdata);
    const int facility = static_cast<int>(eventType) & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const int type = static_cast<int>(eventType) & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    // A property change of some sink (its volume, say) does not move the default; the server's own
    // change event does, and so do devices coming and going (a headset plugged in or removed).
    const bool relevant =
        facility == PA_SUBSCRIPTION_EVENT_SERVER ||
        ((facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE) &&
         type != PA_SUBSCRIPTION_EVENT_CHANGE);
    if (relevant && self->onDevicesChanged)
        self->onDevicesChanged();
}

} // namespace murmurly
