#include "platform/linux/qt/QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace df {

namespace {

class QtMainQueue final : public DispatchQueue {
public:
    QtMainQueue() : label_("main"), thread_(QCoreApplication::instance()->thread()) {
        // Every posted call and timer belongs to this object on the GUI thread: deleting it
        // at shutdown drops whatever has not run yet.
        context_ = new QObject();
        context_->moveToThread(thread_);
    }
    ~QtMainQueue() override { shutdown(); }

    const std::string& label() const override { return label_; }
    const Clock& clock() const override { return Clock::system(); }

    void post(Task task) override {
        std::lock_guard lock(mutex_);
        if (!context_) return;
        QMetaObject::invokeMethod(context_, std::move(task), Qt::QueuedConnection);
    }

    WorkItemRef postAfter(double delay, Task task) override {
        auto item = std::make_shared<WorkItem>();
        const int ms = delay <= 0 ? 0 : static_cast<int>(delay * 1000.0 + 0.5);
        auto run = [item, task = std::move(task)] {
            if (!item->isCancelled()) task();
        };
        std::lock_guard lock(mutex_);
        if (!context_) return item;
        // A QTimer is armed on its own thread; the timer goes with the context.
        QObject* context = context_;
        QMetaObject::invokeMethod(
            context, [context, ms, run = std::move(run)] { QTimer::singleShot(ms, context, run); },
            Qt::QueuedConnection);
        return item;
    }

    bool sync(const Task& task) override {
        if (isCurrent()) {
            {
                std::lock_guard lock(mutex_);
                if (!context_) return false;
            }
            task();
            return true;
        }
        auto wait = std::make_shared<Wait>();
        {
            std::lock_guard lock(mutex_);
            if (!context_) return false;
            std::erase_if(waits_, [](const auto& w) { return w.expired(); });
            waits_.push_back(wait);
            QMetaObject::invokeMethod(
                context_,
                [wait, &task] {
                    task();
                    std::lock_guard lock(wait->mutex);
                    wait->ran = true;
                    wait->done.notify_all();
                },
                Qt::QueuedConnection);
        }
        std::unique_lock lock(wait->mutex);
        wait->done.wait(lock, [&] { return wait->ran || wait->abandoned; });
        return wait->ran;
    }

    bool isCurrent() const override { return QThread::currentThread() == thread_; }

    void shutdown() override {
        std::vector<std::weak_ptr<Wait>> waits;
        {
            std::lock_guard lock(mutex_);
            if (!context_) return;
            if (isCurrent()) delete context_;
            else context_->deleteLater();
            context_ = nullptr;
            waits.swap(waits_);
        }
        // Callers of sync() whose task will now never run stop waiting.
        for (const auto& weak : waits) {
            if (auto wait = weak.lock()) {
                std::lock_guard lock(wait->mutex);
                wait->abandoned = true;
                wait->done.notify_all();
            }
        }
    }

private:
    struct Wait {
        std::mutex mutex;
        std::condition_variable done;
        bool ran = false;
        bool abandoned = false;
    };

    std::string label_;
    QThread* thread_;
    std::mutex mutex_;
    QObject* context_;                        // guarded by mutex_; null after shutdown()
    std::vector<std::weak_ptr<Wait>> waits_;  // guarded by mutex_
};

}  // namespace

std::shared_ptr<DispatchQueue> createQtMainQueue() {
    return std::make_shared<QtMainQueue>();
}

}  // namespace df
