#include "platform/linux/x11/XEventLoop.h"

#include "platform/linux/x11/XErrorGuard.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cmath>

namespace df {
namespace {

double monotonic() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::unique_ptr<XEventLoop> XEventLoop::open(const std::string& displayName, std::string threadName,
                                             const std::function<bool(Display*)>& prepare) {
    Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (!display) return nullptr;
    XErrorGuard::watch(display);
    if (prepare && !prepare(display)) {
        XErrorGuard::unwatch(display);
        XCloseDisplay(display);
        return nullptr;
    }
    return std::unique_ptr<XEventLoop>(new XEventLoop(display, std::move(threadName)));
}

XEventLoop::XEventLoop(Display* display, std::string threadName)
    : display_(display), threadName_(std::move(threadName)) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Called from inside the failing Xlib call on the loop's thread: only marks.
    XSetIOErrorExitHandler(display_, &XEventLoop::onBroken, this);
}

XEventLoop::~XEventLoop() {
    stop();
    XCloseDisplay(display_);
    XErrorGuard::unwatch(display_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void XEventLoop::stop() {
    stop_ = true;
    if (thread_.joinable()) {
        uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
}

void XEventLoop::onBroken(Display*, void* self) { static_cast<XEventLoop*>(self)->broken_ = true; }

void XEventLoop::start(Handler handler, NextWake nextWake, std::function<void()> onWake) {
    handler_ = std::move(handler);
    nextWake_ = std::move(nextWake);
    onWake_ = std::move(onWake);
    thread_ = std::thread([this] { run(); });
}

bool XEventLoop::call(const std::function<void(Display*)>& task) {
    if (isLoopThread()) {
        if (broken_) return false;
        task(display_);
        return true;
    }
    Task t{&task};
    std::unique_lock lock(mutex_);
    if (ended_ || !thread_.joinable()) return false;
    tasks_.push_back(&t);
    uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    done_.wait(lock, [&] { return t.finished || ended_.load(); });
    if (!t.finished) {
        std::erase(tasks_, &t);
        return false;
    }
    return true;
}

void XEventLoop::runTasks() {
    for (;;) {
        Task* task = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty()) return;
            task = tasks_.front();
            tasks_.pop_front();
        }
        (*task->work)(display_);
        std::lock_guard lock(mutex_);
        task->finished = true;
        done_.notify_all();
    }
}

bool XEventLoop::dispatchPending(const std::function<bool(const XEvent&)>* match) {
    while (!broken_ && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (match && (*match)(event)) return true;
        if (handler_) handler_(event);
    }
    return false;
}

bool XEventLoop::waitFor(const std::function<bool(const XEvent&)>& match, double timeout) {
    const double deadline = monotonic() + timeout;
    for (;;) {
        if (dispatchPending(&match)) return true;
        if (broken_) return false;
        const double left = deadline - monotonic();
        if (left <= 0) return false;
        pollfd fd{ConnectionNumber(display_), POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(std::ceil(left * 1000)));
    }
}

void XEventLoop::run() {
    pthread_setname_np(pthread_self(), threadName_.substr(0, 15).c_str());
    while (!stop_ && !broken_) {
        runTasks();
        dispatchPending(nullptr);
        if (onWake_) onWake_();
        if (broken_) break;
        XFlush(display_);
        // Events read while the tasks or the handler waited for replies are in Xlib's queue,
        // not on the socket: only sleep when that queue is empty.
        if (QLength(display_) > 0) continue;
        int timeout = -1;
        if (nextWake_) {
            if (auto seconds = nextWake_()) timeout = std::max(0, static_cast<int>(std::ceil(*seconds * 1000)));
        }
        pollfd fds[2] = {{ConnectionNumber(display_), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        ::poll(fds, 2, timeout);
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    done_.notify_all();
}

}  // namespace df
