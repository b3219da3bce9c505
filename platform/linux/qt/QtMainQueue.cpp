#include "platform/linux/qt/QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace df {

namespace {

class QtMainQueue final : public DispatchQueue {
public:
    QtMainQueue() : label_("main"), thread_(QCoreApplication::instance()->thread()) {
        // A child of the application, on its thread: tasks posted after shutdown() or after
        // the application went are dropped with the object.
        context_ = new QObject();
        context_->moveToThread(thread_);
    }
    ~QtMainQueue() override { shutdown(); }

    const std::string& label() const override { return label_; }
    const Clock& clock() const override { return Clock::system(); }

    void post(Task task) override {
        if (shutDown_.load()) return;
        QMetaObject::invokeMethod(context_, std::move(task), Qt::QueuedConnection);
    }

    WorkItemRef postAfter(double delay, Task task) override {
        auto item = std::make_shared<WorkItem>();
        if (shutDown_.load()) return item;
        const int ms = delay <= 0 ? 0 : static_cast<int>(delay * 1000.0 + 0.5);
        auto run = [item, task = std::move(task)] {
            if (!item->isCancelled()) task();
        };
        // QTimer must be armed on its own thread.
        QMetaObject::invokeMethod(
            context_, [this, ms, run = std::move(run)] { QTimer::singleShot(ms, context_, run); },
            Qt::QueuedConnection);
        return item;
    }

    bool sync(const Task& task) override {
        if (isCurrent()) {
            task();
            return true;
        }
        if (shutDown_.load()) return false;
        std::mutex mutex;
        std::condition_variable done;
        bool ran = false;
        QMetaObject::invokeMethod(context_, [&] {
            task();
            std::lock_guard lock(mutex);
            ran = true;
            done.notify_all();
        }, Qt::QueuedConnection);
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return ran || shutDown_.load(); });
        return ran;
    }

    bool isCurrent() const override { return QThread::currentThread() == thread_; }

    void shutdown() override {
        if (shutDown_.exchange(true)) return;
        // Deleting the context drops its pending posted calls and timers.
        if (isCurrent()) delete context_;
        else context_->deleteLater();
        context_ = nullptr;
    }

private:
    std::string label_;
    QThread* thread_;
    QObject* context_;
    std::atomic<bool> shutDown_{false};
};

}  // namespace

std::shared_ptr<DispatchQueue> createQtMainQueue() {
    return std::make_shared<QtMainQueue>();
}

}  // namespace df
