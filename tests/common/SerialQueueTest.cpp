#include "common/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace murmurly;

TEST(SerialQueue, RunsTasksInOrderOnOneThread) {
    std::vector<int> order;
    std::thread::id worker;
    bool sameThread = true;
    {
        SerialQueue queue(QStringLiteral("test"));
        for (int i = 0; i < 1000; ++i) {
            queue.async([&, i] {
                if (i == 0)
                    worker = std::this_thread::get_id();
                sameThread = sameThread && worker == std::this_thread::get_id();
                order.push_back(i);
            });
        }
        queue.waitUntilIdle();
        EXPECT_EQ(order.size(), 1000u);
    }
    EXPECT_TRUE(sameThread);
    EXPECT_NE(worker, std::this_thread::get_id());
    for (int i = 0; i < 1000; ++i)
        EXPECT_EQ(order[i], i);
}

TEST(SerialQueue, DestructionRunsWhatWasQueued) {
    std::atomic<int> ran = 0;
    {
        SerialQueue queue(QStringLiteral("test"));
        for (int i = 0; i < 100; ++i)
            queue.async([&] { ++ran; });
    }
    EXPECT_EQ(ran.load(), 100);
}

TEST(SerialQueue, DeferredTasksWaitForTheirDeadlineOrTheNextTaskAndKeepTheirPlace) {
    SerialQueue queue(QStringLiteral("test"));
    std::mutex mutex;
    std::vector<int> order;
    const auto record = [&](int i) {
        return [&, i] {
            std::lock_guard lock(mutex);
            order.push_back(i);
        };
    };
    const auto ran = [&] {
        std::lock_guard lock(mutex);
        return order;
    };
    // A far deadline: nothing runs on its own yet, and an ordinary task runs them all first.
    queue.asyncDeferred(record(1), std::chrono::hours(1));
    queue.asyncDeferred(record(2), std::chrono::hours(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(ran().empty());
    queue.async(record(3));
    queue.waitUntilIdle();
    EXPECT_EQ(ran(), (std::vector<int>{1, 2, 3}));

    // Left alone, a deferred task still runs once its deadline passes.
    queue.asyncDeferred(record(4), std::chrono::milliseconds(20));
    for (int i = 0; i < 500 && ran().size() < 4; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ran(), (std::vector<int>{1, 2, 3, 4}));
}
