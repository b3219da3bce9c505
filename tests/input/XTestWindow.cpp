#include "XTestWindow.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>

namespace df::testsupport {

namespace {

std::vector<unsigned long> rootProperty(Display* d, const char* name, Atom type) {
    std::vector<unsigned long> out;
    Atom actual = None;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, name, False), 0, 4096, False, type, &actual,
                           &format, &n, &after, &data) == Success &&
        data && format == 32) {
        auto* v = reinterpret_cast<unsigned long*>(data);
        out.assign(v, v + n);
    }
    if (data) XFree(data);
    return out;
}

}  // namespace

XTestWindow::XTestWindow(const char* displayName, int x, int y, int width, int height, long pid,
                         const std::string& appClass) {
    display_ = XOpenDisplay(displayName);
    if (!display_) return;
    Window root = DefaultRootWindow(display_);
    XSetWindowAttributes attrs{};
    attrs.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                       KeyReleaseMask | StructureNotifyMask;
    attrs.background_pixel = WhitePixel(display_, DefaultScreen(display_));
    window_ = XCreateWindow(display_, root, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                            CopyFromParent, InputOutput, CopyFromParent, CWEventMask | CWBackPixel, &attrs);
    // Ask the window manager to keep the requested position.
    XSizeHints hints{};
    hints.flags = USPosition | USSize;
    hints.x = x;
    hints.y = y;
    hints.width = width;
    hints.height = height;
    XSetWMNormalHints(display_, window_, &hints);
    XWMHints wm{};
    wm.flags = InputHint;
    wm.input = True;
    XSetWMHints(display_, window_, &wm);
    std::string name = appClass;
    XClassHint cls{name.data(), name.data()};
    XSetClassHint(display_, window_, &cls);
    XStoreName(display_, window_, appClass.c_str());
    unsigned long pidValue = static_cast<unsigned long>(pid);
    XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&pidValue), 1);
    // Like the toolkits, follow keymap changes through XKB's own notifications.
    XkbSelectEvents(display_, XkbUseCoreKbd, XkbMapNotifyMask | XkbNewKeyboardNotifyMask,
                    XkbMapNotifyMask | XkbNewKeyboardNotifyMask);
    XMapWindow(display_, window_);
    XEvent e;
    do {
        XWindowEvent(display_, window_, StructureNotifyMask, &e);
    } while (e.type != MapNotify);
    XSync(display_, False);
    thread_ = std::thread([this] { run(); });
}

XTestWindow::~XTestWindow() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (display_) {
        if (window_) XDestroyWindow(display_, window_);
        XCloseDisplay(display_);
    }
}

void XTestWindow::run() {
    int fd = ConnectionNumber(display_);
    while (!stop_) {
        std::unique_lock lock(mutex_);
        while (XPending(display_)) {
            XEvent e;
            XNextEvent(display_, &e);
            ReceivedEvent r;
            r.type = e.type;
            r.at = std::chrono::steady_clock::now();
            switch (e.type) {
                case ButtonPress:
                case ButtonRelease:
                    r.detail = e.xbutton.button;
                    r.state = e.xbutton.state;
                    r.x = e.xbutton.x_root;
                    r.y = e.xbutton.y_root;
                    break;
                case MotionNotify:
                    r.state = e.xmotion.state;
                    r.x = e.xmotion.x_root;
                    r.y = e.xmotion.y_root;
                    break;
                case KeyPress:
                case KeyRelease: {
                    r.detail = e.xkey.keycode;
                    r.state = e.xkey.state;
                    char buf[16];
                    KeySym ks = NoSymbol;
                    XLookupString(&e.xkey, buf, sizeof buf, &ks, nullptr);
                    r.keysym = ks;
                    break;
                }
                case MappingNotify:
                    XRefreshKeyboardMapping(&e.xmapping);
                    continue;
                default:
                    continue;
            }
            events_.push_back(r);
        }
        lock.unlock();
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 10);
    }
}

std::vector<ReceivedEvent> XTestWindow::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

void XTestWindow::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

bool XTestWindow::waitFor(const std::function<bool(const std::vector<ReceivedEvent>&)>& done,
                          std::chrono::milliseconds timeout) const {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (done(events())) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done(events());
}

std::u32string XTestWindow::typedText() const {
    std::u32string out;
    for (const auto& e : events()) {
        if (e.type != KeyPress) continue;
        uint32_t cp = xkb_keysym_to_utf32(static_cast<xkb_keysym_t>(e.keysym));
        if (cp) out.push_back(static_cast<char32_t>(cp));
    }
    return out;
}

void XTestWindow::activate() {
    std::lock_guard lock(mutex_);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window_;
    event.xclient.message_type = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, DefaultRootWindow(display_), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &event);
    XFlush(display_);
}

std::vector<Window> stackingOrder(const char* displayName) {
    Display* d = XOpenDisplay(displayName);
    if (!d) return {};
    auto v = rootProperty(d, "_NET_CLIENT_LIST_STACKING", XA_WINDOW);
    XCloseDisplay(d);
    return {v.begin(), v.end()};
}

Window activeWindow(const char* displayName) {
    Display* d = XOpenDisplay(displayName);
    if (!d) return 0;
    auto v = rootProperty(d, "_NET_ACTIVE_WINDOW", XA_WINDOW);
    XCloseDisplay(d);
    return v.empty() ? 0 : v.front();
}

Window inputFocus(const char* displayName) {
    Display* d = XOpenDisplay(displayName);
    if (!d) return 0;
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(d, &focus, &revert);
    XCloseDisplay(d);
    return focus;
}

std::optional<std::pair<int, int>> xdotoolMouseLocation() {
    FILE* p = popen("xdotool getmouselocation --shell 2>/dev/null", "r");
    if (!p) return std::nullopt;
    int x = -1, y = -1;
    char line[128];
    while (fgets(line, sizeof line, p)) {
        std::sscanf(line, "X=%d", &x);
        std::sscanf(line, "Y=%d", &y);
    }
    pclose(p);
    if (x < 0 || y < 0) return std::nullopt;
    return std::make_pair(x, y);
}

}  // namespace df::testsupport
