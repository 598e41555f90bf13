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
    }
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
            m_wake.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
            if (m_tasks.empty())
                return; // stopping, and everything submitted has run
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
}

} // namespace murmurly
