#pragma once
// A test X client: a top-level window on its own connection that records the input events
// it receives (buttons, motion, keys with the keysym the client reads, wheel), read on a
// thread of its own. Used to see what the injector's events do on a real X server.

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace df::testsupport {

struct ReceivedEvent {
    int type = 0;             ///< ButtonPress, ButtonRelease, MotionNotify, KeyPress, KeyRelease
    unsigned detail = 0;      ///< button number or keycode
    unsigned state = 0;       ///< modifier and button mask at the time
    KeySym keysym = 0;        ///< for key events: what the client reads (Shift applied)
    int x = 0, y = 0;         ///< root coordinates
    std::chrono::steady_clock::time_point at;
};

class XTestWindow {
public:
    /// Opens `display`, maps a window at the given root geometry with the given process ID
    /// and class (as a window of that application), and waits until it is shown.
    XTestWindow(const char* display, int x, int y, int width, int height, long pid, const std::string& appClass);
    ~XTestWindow();

    Window id() const { return window_; }
    bool ok() const { return window_ != 0; }

    std::vector<ReceivedEvent> events() const;
    void clear();
    /// Waits until `done` holds for the events received so far, or the timeout passes.
    bool waitFor(const std::function<bool(const std::vector<ReceivedEvent>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) const;
    /// Text of the key presses received, as the keysyms read by the client.
    std::u32string typedText() const;

    /// Asks the window manager to make this window active (and raise it).
    void activate();

private:
    void run();

    Display* display_ = nullptr;
    Window window_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<ReceivedEvent> events_;
};

/// Stacking order of managed windows, bottom to top, and the active window, as the window
/// manager publishes them.
std::vector<Window> stackingOrder(const char* display);
Window activeWindow(const char* display);
/// The window that has the keyboard focus. The window manager publishes the active window
/// and sets the focus in separate steps, so a test that types waits for both.
Window inputFocus(const char* display);
/// The pointer position as xdotool, an independent X client, reads it ($DISPLAY).
std::optional<std::pair<int, int>> xdotoolMouseLocation();

}  // namespace df::testsupport
