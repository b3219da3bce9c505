#include "platform/SerialQueue.h"
#include "platform/fake/queue/ManualQueue.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <asio/steady_timer.hpp>

#include <atomic>
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

TEST(SerialQueue, SyncOnAQueueThatWasShutDownReturnsFalseInsteadOfWaitingForever) {
    auto queue = SerialQueue::create("q");
    queue->shutdown();
    bool ran = false;
    EXPECT_FALSE(queue->sync([&] { ran = true; }));
    EXPECT_FALSE(ran);
}

TEST(SerialQueue, SyncReturnsFalseWhenTheQueueShutsDownBeforeItsTaskRan) {
    // The queue is busy when a sync comes; the busy task then shuts the queue down. The
    // sync's task lands before or after that moment (both happen across the rounds); it
    // never runs either way, and the waiting caller is let go every time.
    for (int round = 0; round < 100; ++round) {
        auto queue = SerialQueue::create("q");
        std::promise<void> syncing;
        queue->post([queue, wasSyncing = syncing.get_future().share()] {
            wasSyncing.wait();
            queue->shutdown();
        });
        std::atomic<bool> ran{false};
        auto waiter = std::async(std::launch::async, [&] {
            syncing.set_value();
            return queue->sync([&] { ran = true; });
        });
        ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "round " << round;
        EXPECT_FALSE(waiter.get());
        EXPECT_FALSE(ran);
    }
}

TEST(SerialQueue, ShutdownDestroysWhatIsStillWaitingAndReleasesWhatItHolds) {
    auto queue = SerialQueue::create("q");
    std::weak_ptr<QueueContext> context = queue->sharedContext();
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    std::atomic<int> ran{0};
    std::promise<void> release;
    queue->post([go = release.get_future().share()] { go.wait(); });
    // Waiting behind the task above: a posted task, a timer, an I/O completion, and an
    // object that holds the queue's io_context as a connection does (the cycle that would
    // keep the context alive for ever if nobody destroyed the waiting handlers).
    struct HoldsTheContext {
        std::shared_ptr<QueueContext> context;
        std::shared_ptr<int> held;
    };
    auto connectionLike = std::make_shared<HoldsTheContext>(HoldsTheContext{queue->sharedContext(), held});
    queue->post([connectionLike, &ran] { ++ran; });
    queue->postAfter(3600, [held, &ran] { ++ran; });
    auto timer = std::make_shared<asio::steady_timer>(queue->context(), std::chrono::hours(1));
    timer->async_wait([timer, held, &ran](const std::error_code&) { ++ran; });
    timer.reset();
    connectionLike.reset();
    held.reset();

    // Shut down from another thread once the queue has stopped taking turns, then let the
    // busy task end.
    std::thread stopper([&] { queue->shutdown(); });
    while (!queue->context().stopped()) std::this_thread::yield();
    release.set_value();
    stopper.join();
    EXPECT_EQ(ran, 0);
    EXPECT_TRUE(watch.expired());
    // Work handed in afterwards is destroyed at once.
    auto late = std::make_shared<int>(0);
    watch = late;
    queue->post([late, &ran] { ++ran; });
    queue->postAfter(0, [late, &ran] { ++ran; });
    late.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(ran, 0);
    queue.reset();
    EXPECT_TRUE(context.expired());
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

TEST(ManualQueue, ShutdownDestroysWaitingTasksAndTimersAndRunsNothingMore) {
    fake::ManualQueue queue;
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    int ran = 0;
    queue.post([held, &ran] { ++ran; });
    queue.postAfter(1.0, [held, &ran] { ++ran; });
    held.reset();
    queue.shutdown();
    EXPECT_TRUE(watch.expired());
    queue.post([&] { ++ran; });
    queue.postAfter(0, [&] { ++ran; });
    EXPECT_FALSE(queue.sync([&] { ++ran; }));
    queue.advance(5);
    EXPECT_EQ(ran, 0);
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
