#pragma once

#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace murmurly {

// A serial work queue: one worker thread running submitted tasks one at a time, in submission
// order. Stands in for the named serial queues of the design ("SessionRecorder.IO",
// "SystemAudioSampleQueue"). State touched only from tasks needs no lock.
class SerialQueue {
public:
    explicit SerialQueue(QString label);
    // Runs every task already submitted, then joins the worker.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const QString& label() const { return m_label; }

    // Queues a task and returns at once.
    void async(std::function<void()> task);
    // Queues a task and waits until it has run. Must not be called from the queue's own thread.
    void sync(const std::function<void()>& task);
    // Waits until every task submitted before this call has run.
    void waitUntilIdle() {
        sync([] {});
    }
    bool isCurrentThread() const { return std::this_thread::get_id() == m_worker.get_id(); }

private:
    void run();

    QString m_label;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    bool m_stopping = false;
    std::thread m_worker;
};

} // namespace murmurly
