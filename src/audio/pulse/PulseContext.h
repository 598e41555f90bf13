#pragma once

#include <QByteArray>
#include <QString>

#include <pulse/def.h>

#include <cstdint>
#include <functional>

struct pa_context;

namespace murmurly {

class PulseMainloop;

// One connection to the sound server, on a PulseMainloop. libpulse cannot reconnect a context, so
// a lost connection ends this object's useful life; the owner makes a new one to reconnect.
//
// Every member function must be called with the loop's lock held. The callbacks run on the loop
// thread with the lock held; each is the last thing its trampoline does, so a callback may destroy
// this object.
class PulseContext {
public:
    // Connected and subscribed to device changes.
    std::function<void()> onReady;
    // The connection could not be made or was lost; the text is libpulse's reason.
    std::function<void(const QString& error)> onLost;
    // The server's default sink or source changed, or a sink or source appeared or went away.
    std::function<void()> onDevicesChanged;

    PulseContext(PulseMainloop& loop, const QByteArray& clientName);
    // Disconnects without calling any callback.
    ~PulseContext();
    PulseContext(const PulseContext&) = delete;
    PulseContext& operator=(const PulseContext&) = delete;

    // Starts connecting to the server named by PULSE_SERVER (or the default one), never spawning a
    // daemon. False, with the reason in `error`, when the attempt cannot even begin.
    bool connect(QString* error);
    bool isReady() const;
    pa_context* handle() const { return m_context; }
    QString lastError() const;

private:
    static void stateCallback(pa_context* context, void* userdata);
    static void subscribeCallback(pa_context* context, pa_subscription_event_type_t eventType,
                                  std::uint32_t index, void* userdata);
    void release();

    pa_context* m_context = nullptr;
    bool m_connecting = false;
    bool m_failedWhileConnecting = false;
};

} // namespace murmurly
