#pragma once

#include <QByteArray>

struct pa_threaded_mainloop;
struct pa_mainloop_api;

namespace murmurly {

// Owns a libpulse threaded mainloop: one thread on which every callback of the contexts and
// streams created on it runs, with the loop's lock held. Other threads take the lock (PulseLock)
// before they touch those objects; the lock is recursive, so a callback may call code that locks.
class PulseMainloop {
public:
    // The thread is named after `threadName` (the kernel keeps 15 characters) and started at once.
    // Throws SystemError when libpulse cannot create or start it.
    explicit PulseMainloop(const QByteArray& threadName);
    // Stops and joins the thread. Must not be called on the loop thread or with the lock held.
    ~PulseMainloop();
    PulseMainloop(const PulseMainloop&) = delete;
    PulseMainloop& operator=(const PulseMainloop&) = delete;

    pa_mainloop_api* api() const;
    bool isLoopThread() const;
    void lock();
    void unlock();

private:
    pa_threaded_mainloop* m_loop = nullptr;
};

// Scoped lock on a PulseMainloop.
class PulseLock {
public:
    explicit PulseLock(PulseMainloop& loop)
        : m_loop(loop) {
        m_loop.lock();
    }
    ~PulseLock() { m_loop.unlock(); }
    PulseLock(const PulseLock&) = delete;
    PulseLock& operator=(const PulseLock&) = delete;

private:
    PulseMainloop& m_loop;
};

} // namespace murmurly
