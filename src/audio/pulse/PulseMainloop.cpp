#include "audio/pulse/PulseMainloop.h"

#include "common/Error.h"

#include <pulse/thread-mainloop.h>

namespace murmurly {

PulseMainloop::PulseMainloop(const QByteArray& threadName)
    : m_loop(pa_threaded_mainloop_new()) {
    if (!m_loop)
        throw SystemError(QStringLiteral("Cannot create the sound-server event loop"));
    pa_threaded_mainloop_set_name(m_loop, threadName.constData());
    if (pa_threaded_mainloop_start(m_loop) < 0) {
        pa_threaded_mainloop_free(m_loop);
        m_loop = nullptr;
        throw SystemError(QStringLiteral("Cannot start the sound-server event loop"));
    }
}

PulseMainloop::~PulseMainloop() {
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
}

pa_mainloop_api* PulseMainloop::api() const {
    return pa_threaded_mainloop_get_api(m_loop);
}

bool PulseMainloop::isLoopThread() const {
    return pa_threaded_mainloop_in_thread(m_loop) != 0;
}

void PulseMainloop::lock() {
    pa_threaded_mainloop_lock(m_loop);
}

void PulseMainloop::unlock() {
    pa_threaded_mainloop_unlock(m_loop);
}

} // namespace murmurly
