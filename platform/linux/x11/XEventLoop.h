#pragma once
// A thread of its own with an X display connection of its own, for host services that react
// to X events (the clipboard, the active window, display changes, the cursor). The thread
// sleeps in poll() on the connection and a wake-up descriptor: no event, no work. Other
// threads hand it work with call(), which waits for the result.
//
// Protocol errors on the connection are ignored (XErrorGuard): a window may vanish between
// an event and the request that follows it. When the connection breaks (the X server went
// away) the thread ends and call() returns false from then on.

#include <X11/Xlib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace df {

class XEventLoop {
public:
    using Handler = std::function<void(XEvent& event)>;
    /// Seconds until the owner wants the loop to wake up without an event (to give up a
    /// stalled transfer, say); nothing: sleep until an event or work arrives.
    using NextWake = std::function<std::optional<double>()>;

    /// Opens `displayName` (empty: $DISPLAY as the process was given it); nullptr when it
    /// cannot be opened. `prepare` runs on the new connection before the thread starts and
    /// may refuse it (an extension is missing).
    static std::unique_ptr<XEventLoop> open(const std::string& displayName, std::string threadName,
                                            const std::function<bool(Display*)>& prepare = {});
    ~XEventLoop();
    XEventLoop(const XEventLoop&) = delete;
    XEventLoop& operator=(const XEventLoop&) = delete;

    /// Starts the thread; every event is handed to `handler` there; `onWake` is called
    /// on each turn of the loop (after the events) and after each wake-up.
    void start(Handler handler, NextWake nextWake = {}, std::function<void()> onWake = {});
    /// Ends the thread and waits for it (not on the loop's thread). The owner calls it first
    /// in its destructor, so that no event reaches its handler while its members go; the
    /// connection stays open until the loop is destroyed. Calls after it return false.
    void stop();
    /// Runs `task` on the loop's thread and waits for it; inline when called there. False
    /// when the loop has ended (the task did not run).
    bool call(const std::function<void(Display*)>& task);
    /// On the loop's thread: hands events to the handler until `match` accepts one (true) or
    /// `timeout` seconds passed or the connection broke (false).
    bool waitFor(const std::function<bool(const XEvent&)>& match, double timeout);
    bool isLoopThread() const { return std::this_thread::get_id() == thread_.get_id(); }
    Display* display() const { return display_; }

private:
    XEventLoop(Display* display, std::string threadName);
    void run();
    bool dispatchPending(const std::function<bool(const XEvent&)>* match);
    void runTasks();
    static void onBroken(Display* display, void* self);

    Display* display_;
    std::string threadName_;
    int wakeFd_ = -1;
    Handler handler_;
    NextWake nextWake_;
    std::function<void()> onWake_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    bool broken_ = false;
    std::mutex mutex_;
    std::condition_variable done_;
    struct Task {
        const std::function<void(Display*)>* work;
        bool finished = false;
    };
    std::deque<Task*> tasks_;
    std::thread thread_;
};

}  // namespace df
