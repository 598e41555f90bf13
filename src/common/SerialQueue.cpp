#include "common/SerialQueue.h"

#include <future>

#include <pthread.h>

namespace murmurly {

SerialQueue::SerialQueue(QString label)
    : m_label(std::move(label))
    , m_worker([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_worker.join();
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
        m_draining = true;
    }
    m_wake.notify_one();
}

void SerialQueue::asyncDeferred(std::function<void()> task, std::chrono::milliseconds maxDelay) {
    bool arm = false;
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
        if (!m_draining && !m_deadline) {
            m_deadline = std::chrono::steady_clock::now() + maxDelay;
            arm = true;
        }
    }
    // The worker learns the deadline once; the tasks queued before it expires wake nobody.
    if (arm)
        m_wake.notify_one();
}

void SerialQueue::sync(const std::function<void()>& task) {
    std::promise<void> done;
    async([&] {
        task();
        done.set_value();
    });
    done.get_future().wait();
}

void SerialQueue::run() {
    // Thread names are limited to 15 bytes; enough to tell the queues apart in a debugger or top.
    pthread_setname_np(pthread_self(), m_label.left(15).toUtf8().constData());
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(m_mutex);
            for (;;) {
                const bool due = m_draining || m_stopping ||
                                 (m_deadline && std::chrono::steady_clock::now() >= *m_deadline);
                if (!m_tasks.empty() && due)
                    break;
                if (m_tasks.empty() && m_stopping)
                    return; // everything submitted has run
                if (m_tasks.empty() || !m_deadline)
                    m_wake.wait(lock);
                else
                    m_wake.wait_until(lock, *m_deadline);
            }
            m_draining = true;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
            if (m_tasks.empty()) {
                m_draining = false;
                m_deadline.reset();
            }
        }
        task();
    }
}

} // namespace murmurly
