#include "platform/linux/x11/XConnection.h"

#include "platform/linux/x11/XErrorGuard.h"

namespace df {

XConnection::XConnection(std::string displayName, Prepare prepare)
    : displayName_(std::move(displayName)), prepare_(std::move(prepare)) {}

XConnection::~XConnection() { close(); }

Display* XConnection::get() {
    if (display_ && !broken_) return display_;
    close();
    Display* display = XOpenDisplay(displayName_.empty() ? nullptr : displayName_.c_str());
    if (!display) return nullptr;
    XErrorGuard::watch(display);
    // Called from inside the failing Xlib call, with the owner's lock held: only marks.
    XSetIOErrorExitHandler(display, &XConnection::onBroken, this);
    if (prepare_ && !prepare_(display)) {
        XErrorGuard::unwatch(display);
        XCloseDisplay(display);
        return nullptr;
    }
    display_ = display;
    broken_ = false;
    ++generation_;
    return display_;
}

void XConnection::onBroken(Display*, void* self) { static_cast<XConnection*>(self)->broken_ = true; }

void XConnection::close() {
    if (!display_) return;
    // Xlib leaves a connection that saw an IO error in a state where closing it only frees it.
    XCloseDisplay(display_);
    XErrorGuard::unwatch(display_);
    display_ = nullptr;
}

}  // namespace df
