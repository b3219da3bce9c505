// The main queue on the Qt GUI thread: work posted from other threads runs there in order,
// delayed work in due order unless cancelled, sync() waits for the GUI thread, and after
// shutdown nothing runs and nobody waits.

#include "platform/linux/qt/QtMainQueue.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <thread>

namespace df {
namespace {

struct QtMainQueueTest : ::testing::Test {
    int argc = 1;
    char name[16] = "main-queue-test";
    char* argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    std::shared_ptr<DispatchQueue> queue = createQtMainQueue();

    // Runs the event loop until `quit` is set by a task, or 5 s pass.
    void runUntil(const bool& quit) {
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
            if (quit) QCoreApplication::quit();
        });
        poll.start(5);
        QTimer::singleShot(5000, &poll, [] { QCoreApplication::quit(); });
        QCoreApplication::exec();
    }
};

TEST_F(QtMainQueueTest, PostedAndDelayedWorkRunsOnTheGuiThreadInOrder) {
    const auto gui = std::this_thread::get_id();
    std::vector<std::string> ran;
    bool done = false;
    EXPECT_TRUE(queue->isCurrent());
    std::thread([&] {
        EXPECT_FALSE(queue->isCurrent());
        queue->postAfter(0.06, [&] {
            ran.push_back("late");
            done = true;
        });
        auto cancelled = queue->postAfter(0.03, [&] { ran.push_back("cancelled"); });
        queue->postAfter(0.02, [&] { ran.push_back("soon"); });
        queue->post([&] { ran.push_back(std::this_thread::get_id() == gui ? "first" : "wrong thread"); });
        queue->post([&] { ran.push_back("second"); });
        cancelled->cancel();
    }).join();
    runUntil(done);
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "soon", "late"}));
}

TEST_F(QtMainQueueTest, SyncWaitsForTheGuiThreadAndShutdownDropsTheRest) {
    bool done = false;
    int value = 0;
    bool synced = false;
    std::thread worker([&] {
        synced = queue->sync([&] { value = 42; });
        queue->post([&] { done = true; });
    });
    runUntil(done);
    worker.join();
    EXPECT_TRUE(synced);
    EXPECT_EQ(value, 42);

    bool ranAfterShutdown = false;
    queue->postAfter(0.0, [&] { ranAfterShutdown = true; });
    queue->post([&] { ranAfterShutdown = true; });
    queue->shutdown();
    queue->post([&] { ranAfterShutdown = true; });
    EXPECT_FALSE(queue->sync([&] { ranAfterShutdown = true; }));
    bool never = false;
    QTimer::singleShot(50, [&] { never = true; });
    runUntil(never);
    EXPECT_FALSE(ranAfterShutdown);
}

}  // namespace
}  // namespace df
