#pragma once
// One X display connection for as long as its owner (a host service) lives: opened once,
// and opened again only after it broke (the X server went away or restarted). Protocol
// errors on it are ignored (XErrorGuard); a broken connection does not end the process, it
// is closed and replaced on the next use.
//
// Not thread-safe: the owner serialises every call and every use of the display with its
// own lock, as Xlib wants one thread at a time on a connection anyway.

#include <X11/Xlib.h>

#include <cstdint>
#include <functional>
#include <string>

namespace df {

class XConnection {
public:
    /// Runs on every newly opened connection before it is handed out; false when the display
    /// lacks what the owner needs (an extension): the connection is closed again.
    using Prepare = std::function<bool(Display*)>;

    /// `displayName` empty: the display the process was started on ($DISPLAY).
    explicit XConnection(std::string displayName, Prepare prepare = {});
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    /// The open display, opening it first when there is none or the last one broke;
    /// nullptr when the display cannot be opened.
    Display* get();
    /// Whether the connection broke since it was opened (seen by an Xlib call that failed
    /// to read or write); the next get() replaces it.
    bool broken() const { return broken_; }
    /// Counts the connections opened so far. State that belongs to one connection (atoms,
    /// the keymap, keys held down) is rebuilt when it changes.
    uint64_t generation() const { return generation_; }

private:
    static void onBroken(Display* display, void* self);
    void close();

    std::string displayName_;
    Prepare prepare_;
    Display* display_ = nullptr;
    bool broken_ = false;
    uint64_t generation_ = 0;
};

}  // namespace df
