#pragma once

#include <QString>

#include <chrono>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
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
    // Queues a task without waking the worker for it alone: it runs, in its place in the order,
    // when a task queued with async() (or sync()) is run, and at the latest `maxDelay` after the
    // first deferred task that found the worker idle. Small, frequent work (a stream of audio
    // fragments) then costs one wake-up per `maxDelay` instead of one per task.
    void asyncDeferred(std::function<void()> task, std::chrono::milliseconds maxDelay);
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
    // Set by async(): the worker runs everything queued until the queue is empty.
    bool m_draining = false;
    // When the oldest deferred task must run, if only deferred tasks wait.
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
    std::thread m_worker;
};

} // namespace murmurly
