#include "common/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
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
