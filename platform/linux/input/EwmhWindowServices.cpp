// Windows, the active application and raising on an X11 desktop, and the desktop-wide
// requests of the phone's gestures (showing the desktop, switching desktops), through the
// state an EWMH window manager publishes on the root window. Runs on "duskferry.input.ax".
#include "platform/linux/input/XTestInputEvents.h"
#include "platform/linux/x11/XConnection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <iterator>
#include <mutex>
#include <unistd.h>

namespace df {

namespace {

class EwmhWindowServices final : public WindowServices {
public:
    explicit EwmhWindowServices(std::unique_ptr<XConnection> connection) : connection_(std::move(connection)) {}

    std::vector<WindowInfo> onScreenWindows() override {
        std::lock_guard lock(mutex_);
        if (!connected()) return {};
        std::vector<WindowInfo> out;
        auto stacking = windowList(root_, clientListStacking_);  // bottom to top
        for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) {
            Window w = *it;
            if (!onScreen(w)) continue;
            WindowKind kind = kindOf(primaryType(w));
            if (kind == WindowKind::desktop) continue;  // the desktop itself is left out
            WindowInfo info;
            info.windowID = w;
            info.kind = kind;
            info.ownerPID = pidOf(w);
            info.bounds = frameBounds(w);
            out.push_back(info);
        }
        return out;
    }

    std::optional<std::string> applicationClass(int32_t pid) override {
        std::lock_guard lock(mutex_);
        if (!connected()) return std::nullopt;
        for (Window w : windowList(root_, clientListStacking_)) {
            if (pidOf(w) != pid) continue;
            XClassHint hint{};
            if (!XGetClassHint(display_, w, &hint)) continue;
            std::optional<std::string> id;
            if (hint.res_class) id = std::string(hint.res_class);
            if (hint.res_name) XFree(hint.res_name);
            if (hint.res_class) XFree(hint.res_class);
            if (id) return id;
        }
        return std::nullopt;
    }

    std::optional<int32_t> frontmostApplicationPID() override {
        std::lock_guard lock(mutex_);
        if (!connected()) return std::nullopt;
        auto active = windowList(root_, activeWindow_);
        if (active.empty() || active.front() == None) return std::nullopt;
        return pidOf(active.front());
    }

    int32_t ownPID() override { return static_cast<int32_t>(getpid()); }

    std::optional<WindowAtPoint> windowAt(ScreenPoint point) override {
        std::lock_guard lock(mutex_);
        if (!connected()) return std::nullopt;
        // The topmost managed window under the point, docks and pop-ups included.
        auto stacking = windowList(root_, clientListStacking_);
        for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) {
            Window w = *it;
            if (!onScreen(w)) continue;
            auto bounds = frameBounds(w);
            if (!bounds || !boundsContain(*bounds, point)) continue;
            return WindowAtPoint{w, kindOf(primaryType(w)), pidOf(w)};
        }
        return std::nullopt;
    }

    bool raiseWindow(uint64_t window) override {
        std::lock_guard lock(mutex_);
        if (!connected()) return false;
        // Goes to the window manager as a restack request.
        XRaiseWindow(display_, static_cast<Window>(window));
        XFlush(display_);
        return true;
    }

    bool activateApplication(int32_t pid) override {
        std::lock_guard lock(mutex_);
        if (!connected()) return false;
        auto stacking = windowList(root_, clientListStacking_);
        for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) {
            if (pidOf(*it) != pid || !onScreen(*it)) continue;
            requestActive(*it);
            return true;
        }
        return false;
    }

    bool toggleShowingDesktop() override {
        std::lock_guard lock(mutex_);
        if (!connected() || !windowManagerSupports(showingDesktop_)) return false;
        auto showing = cardinals(root_, showingDesktop_, XA_CARDINAL);
        bool now = !showing.empty() && showing.front() != 0;
        sendToWindowManager(root_, showingDesktop_, now ? 0 : 1);
        return true;
    }

    bool switchDesktop(int offset) override {
        std::lock_guard lock(mutex_);
        if (!connected() || !windowManagerSupports(currentDesktop_)) return false;
        auto count = cardinals(root_, numberOfDesktops_, XA_CARDINAL);
        auto current = cardinals(root_, currentDesktop_, XA_CARDINAL);
        if (count.empty() || current.empty() || count.front() < 2) return false;
        const long n = static_cast<long>(count.front());
        long target = (static_cast<long>(current.front()) + offset) % n;
        if (target < 0) target += n;
        sendToWindowManager(root_, currentDesktop_, target);
        return true;
    }

private:
    // Whether the window manager lists `atom` in _NET_SUPPORTED: a request it does not know
    // would go unanswered.
    bool windowManagerSupports(Atom atom) {
        for (unsigned long a : cardinals(root_, supported_, XA_ATOM, 4096))
            if (a == atom) return true;
        return false;
    }

    // A request to the window manager about `window` (the root for desktop-wide state), with
    // the current time so that it is not taken for a stale one.
    void sendToWindowManager(Window window, Atom message, long value) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = message;
        event.xclient.format = 32;
        event.xclient.data.l[0] = value;
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XFlush(display_);
    }

    // Under mutex_: the display with the atoms of its connection, interned once per
    // connection; false when the X server cannot be reached.
    bool connected() {
        display_ = connection_->get();
        if (!display_) return false;
        if (connection_->generation() == generation_) return true;
        const char* names[] = {"_NET_CLIENT_LIST_STACKING", "_NET_ACTIVE_WINDOW", "_NET_WM_PID",
                               "_NET_WM_STATE", "_NET_WM_STATE_HIDDEN", "_NET_WM_WINDOW_TYPE",
                               "_NET_FRAME_EXTENTS", "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_WINDOW_TYPE_DOCK",
                               "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DIALOG",
                               "_NET_WM_WINDOW_TYPE_UTILITY", "_NET_WM_WINDOW_TYPE_TOOLBAR",
                               "_NET_WM_WINDOW_TYPE_SPLASH", "_NET_WM_WINDOW_TYPE_MENU",
                               "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", "_NET_WM_WINDOW_TYPE_POPUP_MENU",
                               "_NET_WM_WINDOW_TYPE_NOTIFICATION", "_NET_SUPPORTED", "_NET_SHOWING_DESKTOP",
                               "_NET_CURRENT_DESKTOP", "_NET_NUMBER_OF_DESKTOPS"};
        Atom atoms[std::size(names)] = {};
        if (!XInternAtoms(display_, const_cast<char**>(names), static_cast<int>(std::size(names)), False, atoms))
            return false;
        clientListStacking_ = atoms[0];
        activeWindow_ = atoms[1];
        wmPid_ = atoms[2];
        wmState_ = atoms[3];
        stateHidden_ = atoms[4];
        windowType_ = atoms[5];
        frameExtents_ = atoms[6];
        typeDesktop_ = atoms[7];
        typeDock_ = atoms[8];
        typeNormal_ = atoms[9];
        typeDialog_ = atoms[10];
        typeUtility_ = atoms[11];
        typeToolbar_ = atoms[12];
        typeSplash_ = atoms[13];
        typeMenu_ = atoms[14];
        typeDropdownMenu_ = atoms[15];
        typePopupMenu_ = atoms[16];
        typeNotification_ = atoms[17];
        supported_ = atoms[18];
        showingDesktop_ = atoms[19];
        currentDesktop_ = atoms[20];
        numberOfDesktops_ = atoms[21];
        root_ = DefaultRootWindow(display_);
        generation_ = connection_->generation();
        return true;
    }

    std::vector<Window> windowList(Window w, Atom property) {
        std::vector<Window> out;
        Atom actualType = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display_, w, property, 0, 65536, False, XA_WINDOW, &actualType, &format,
                               &count, &after, &data) != Success)
            return out;
        if (data && format == 32) {
            auto* ids = reinterpret_cast<unsigned long*>(data);  // 32-bit items arrive as longs
            out.assign(ids, ids + count);
        }
        if (data) XFree(data);
        return out;
    }

    std::vector<unsigned long> cardinals(Window w, Atom property, Atom type, long maxItems = 64) {
        std::vector<unsigned long> out;
        Atom actualType = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display_, w, property, 0, maxItems, False, type, &actualType, &format, &count,
                               &after, &data) != Success)
            return out;
        if (data && format == 32) {
            auto* values = reinterpret_cast<unsigned long*>(data);
            out.assign(values, values + count);
        }
        if (data) XFree(data);
        return out;
    }

    std::optional<int32_t> pidOf(Window w) {
        auto v = cardinals(w, wmPid_, XA_CARDINAL);
        if (v.empty() || v.front() == 0) return std::nullopt;
        return static_cast<int32_t>(v.front());
    }

    Atom primaryType(Window w) {
        auto v = cardinals(w, windowType_, XA_ATOM);
        return v.empty() ? None : static_cast<Atom>(v.front());
    }

    WindowKind kindOf(Atom type) const {
        if (type == None || type == typeNormal_) return WindowKind::normal;
        if (type == typeDialog_) return WindowKind::dialog;
        if (type == typeUtility_ || type == typeToolbar_) return WindowKind::utility;
        if (type == typeSplash_) return WindowKind::splash;
        if (type == typeMenu_ || type == typeDropdownMenu_ || type == typePopupMenu_) return WindowKind::menu;
        if (type == typeDock_) return WindowKind::dock;
        if (type == typeDesktop_) return WindowKind::desktop;
        if (type == typeNotification_) return WindowKind::notification;
        return WindowKind::other;
    }

    bool onScreen(Window w) {
        XWindowAttributes attrs{};
        if (!XGetWindowAttributes(display_, w, &attrs) || attrs.map_state != IsViewable) return false;
        for (unsigned long a : cardinals(w, wmState_, XA_ATOM))
            if (a == stateHidden_) return false;
        return true;
    }

    // The window's rectangle on the root, with the frame the window manager drew around it.
    std::optional<DisplayBounds> frameBounds(Window w) {
        XWindowAttributes attrs{};
        if (!XGetWindowAttributes(display_, w, &attrs)) return std::nullopt;
        int x = 0, y = 0;
        Window child = None;
        if (!XTranslateCoordinates(display_, w, root_, 0, 0, &x, &y, &child)) return std::nullopt;
        auto extents = cardinals(w, frameExtents_, XA_CARDINAL);  // left, right, top, bottom
        double left = 0, right = 0, top = 0, bottom = 0;
        if (extents.size() == 4) {
            left = static_cast<double>(extents[0]);
            right = static_cast<double>(extents[1]);
            top = static_cast<double>(extents[2]);
            bottom = static_cast<double>(extents[3]);
        }
        return DisplayBounds{x - left, y - top, attrs.width + left + right, attrs.height + top + bottom};
    }

    void requestActive(Window w) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = w;
        event.xclient.message_type = activeWindow_;
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2;  // source: a pager, acting for the user
        event.xclient.data.l[1] = CurrentTime;
        event.xclient.data.l[2] = 0;
        XSendEvent(display_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XFlush(display_);
    }

    std::mutex mutex_;
    std::unique_ptr<XConnection> connection_;
    uint64_t generation_ = 0;  ///< the connection the atoms below belong to
    Display* display_ = nullptr;
    Window root_ = None;
    Atom clientListStacking_ = None, activeWindow_ = None, wmPid_ = None, wmState_ = None, stateHidden_ = None,
         windowType_ = None, frameExtents_ = None;
    Atom typeDesktop_ = None, typeDock_ = None, typeNormal_ = None, typeDialog_ = None, typeUtility_ = None,
         typeToolbar_ = None, typeSplash_ = None, typeMenu_ = None, typeDropdownMenu_ = None, typePopupMenu_ = None,
         typeNotification_ = None;
    Atom supported_ = None, showingDesktop_ = None, currentDesktop_ = None, numberOfDesktops_ = None;
};

}  // namespace

std::shared_ptr<WindowServices> createEwmhWindowServices(const std::string& displayName) {
    auto connection = std::make_unique<XConnection>(displayName);
    if (!connection->get()) return nullptr;
    return std::make_shared<EwmhWindowServices>(std::move(connection));
}

}  // namespace df
