#include "platform/SerialQueue.h"
#include "platform/fake/queue/ManualQueue.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <future>
#include <thread>
#include <vector>

namespace df {
namespace {

TEST(SerialQueue, RunsTasksInOrderOnItsNamedThread) {
    auto queue = SerialQueue::create("duskferry.server");
    std::vector<int> order;
    std::string threadName;
    for (int i = 0; i < 100; ++i) queue->post([&order, i] { order.push_back(i); });
    queue->sync([&] {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        threadName = name;
        EXPECT_TRUE(queue->isCurrent());
    });
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
    EXPECT_EQ(threadName, "duskferry.serve");  // the kernel keeps 15 characters
    EXPECT_FALSE(queue->isCurrent());
}

TEST(SerialQueue, CancelledWorkNeverRunsAndSyncIsReentrant) {
    auto queue = SerialQueue::create("q");
    std::promise<void> fired;
    bool cancelledRan = false;
    auto cancelled = queue->postAfter(0.01, [&] { cancelledRan = true; });
    cancelled->cancel();
    queue->postAfter(0.03, [&] { fired.set_value(); });
    fired.get_future().wait();
    queue->sync([&] { queue->sync([] {}); });
    EXPECT_FALSE(cancelledRan);
}

TEST(SerialQueue, MayBeReleasedByTheLastOwnerFromATaskRunningOnIt) {
    // Sessions and servers hold their queue; the last of them may go away on that queue.
    auto holder = SerialQueue::create("q");
    std::weak_ptr<SerialQueue> weak = holder;
    std::promise<void> posted;
    std::promise<void> released;
    auto raw = holder.get();
    raw->post([&, wasPosted = posted.get_future().share()] {
        // post() must have returned first: a caller that holds no reference of its own
        // (like this one) may not touch the queue once the task can free it.
        wasPosted.wait();
        holder.reset();
        released.set_value();
    });
    posted.set_value();
    released.get_future().wait();
    EXPECT_TRUE(weak.expired());
    // The detached thread winds down on its own; give it a moment so that a sanitizer run
    // would see it touch freed memory if it did.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TEST(SerialQueue, SyncOnAStoppedQueueReturnsInsteadOfWaitingForever) {
    auto queue = SerialQueue::create("q");
    queue->stop();
    bool ran = false;
    queue->sync([&] { ran = true; });
    EXPECT_FALSE(ran);
}

TEST(ManualQueue, TimersFireInDueOrderWithTheClockAtTheirDueTime) {
    fake::ManualQueue queue;
    std::vector<std::pair<int, double>> fired;
    double start = queue.now();
    queue.postAfter(2.0, [&] { fired.emplace_back(2, queue.now() - start); });
    queue.postAfter(1.0, [&] {
        fired.emplace_back(1, queue.now() - start);
        queue.postAfter(0.5, [&] { fired.emplace_back(3, queue.now() - start); });
    });
    auto dropped = queue.postAfter(1.2, [&] { fired.emplace_back(9, 0); });
    dropped->cancel();
    queue.advance(1.9);
    ASSERT_EQ(fired.size(), 2u);
    queue.advance(0.2);
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[0], std::make_pair(1, 1.0));
    EXPECT_EQ(fired[1], std::make_pair(3, 1.5));
    EXPECT_EQ(fired[2], std::make_pair(2, 2.0));
    EXPECT_EQ(queue.pendingTimers(), 0u);
}

TEST(ManualQueue, RepeatingTimerTicksUntilCancelled) {
    fake::ManualQueue queue;
    int ticks = 0;
    auto timer = queue.repeating(1.0, [&] { ++ticks; });
    queue.advance(3.5);
    EXPECT_EQ(ticks, 3);
    timer->cancel();
    queue.advance(10);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(queue.pendingTimers(), 0u);
}

}  // namespace
}  // namespace df
