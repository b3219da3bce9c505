// Windows, the active application and raising on an X11 desktop, through the state an
// EWMH window manager publishes on the root window. Runs on "duskferry.input.ax".
#include "platform/linux/input/XErrorGuard.h"
#include "platform/linux/input/XTestInputEvents.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <mutex>
#include <unistd.h>

namespace df {

namespace {

// Layers of the window list, in the sense of the Mac's window levels: 0 is an ordinary
// application window; floating panels, docks and pop-ups sit on layers above it.
constexpr int64_t kNormalLayer = 0;
constexpr int64_t kFloatingLayer = 3;
constexpr int64_t kDockLayer = 20;
constexpr int64_t kPopUpLayer = 101;

class EwmhWindowServices final : public WindowServices {
public:
    explicit EwmhWindowServices(Display* display) : display_(display), root_(DefaultRootWindow(display)) {
        auto atom = [&](const char* name) { return XInternAtom(display_, name, False); };
        clientListStacking_ = atom("_NET_CLIENT_LIST_STACKING");
        activeWindow_ = atom("_NET_ACTIVE_WINDOW");
        wmPid_ = atom("_NET_WM_PID");
        wmState_ = atom("_NET_WM_STATE");
        stateHidden_ = atom("_NET_WM_STATE_HIDDEN");
        windowType_ = atom("_NET_WM_WINDOW_TYPE");
        frameExtents_ = atom("_NET_FRAME_EXTENTS");
        typeDesktop_ = atom("_NET_WM_WINDOW_TYPE_DESKTOP");
        typeDock_ = atom("_NET_WM_WINDOW_TYPE_DOCK");
        typeNormal_ = atom("_NET_WM_WINDOW_TYPE_NORMAL");
        typeDialog_ = atom("_NET_WM_WINDOW_TYPE_DIALOG");
        typeUtility_ = atom("_NET_WM_WINDOW_TYPE_UTILITY");
        typeToolbar_ = atom("_NET_WM_WINDOW_TYPE_TOOLBAR");
        typeSplash_ = atom("_NET_WM_WINDOW_TYPE_SPLASH");
        typeMenu_ = atom("_NET_WM_WINDOW_TYPE_MENU");
    }

    ~EwmhWindowServices() override {
        XErrorGuard::unwatch(display_);
        XCloseDisplay(display_);
    }

    std::vector<WindowInfo> onScreenWindows() override {
        std::lock_guard lock(mutex_);
        std::vector<WindowInfo> out;
        auto stacking = windowList(root_, clientListStacking_);  // bottom to top
        for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) {
            Window w = *it;
            if (!onScreen(w)) continue;
            Atom type = primaryType(w);
            if (type == typeDesktop_) continue;  // desktop elements are left out
            WindowInfo info;
            info.windowID = w;
            info.layer = layerOf(type);
            info.ownerPID = pidOf(w);
            info.bounds = frameBounds(w);
            out.push_back(info);
        }
        return out;
    }

    std::optional<std::string> bundleIdentifier(int32_t pid) override {
        std::lock_guard lock(mutex_);
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
        auto active = windowList(root_, activeWindow_);
        if (active.empty() || active.front() == None) return std::nullopt;
        return pidOf(active.front());
    }

    int32_t ownPID() override { return static_cast<int32_t>(getpid()); }

    std::optional<UIElement> elementAtPosition(ScreenPoint point) override {
        std::lock_guard lock(mutex_);
        // The topmost managed window under the point (docks and pop-ups included: they are
        // what the click lands on, and the later checks keep them from rising).
        auto stacking = windowList(root_, clientListStacking_);
        for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) {
            Window w = *it;
            if (!onScreen(w)) continue;
            auto bounds = frameBounds(w);
            if (!bounds || !boundsContain(*bounds, point)) continue;
            UIElement element;
            element.elementID = w;
            element.pid = pidOf(w);
            element.window = w;
            element.role = "AXWindow";
            return element;
        }
        return std::nullopt;
    }

    std::optional<std::string> windowSubrole(uint64_t window) override {
        std::lock_guard lock(mutex_);
        Atom type = primaryType(static_cast<Window>(window));
        if (type == None || type == typeNormal_) return std::string("AXStandardWindow");
        if (type == typeDialog_) return std::string("AXDialog");
        if (type == typeUtility_ || type == typeToolbar_) return std::string("AXFloatingWindow");
        if (type == typeDock_ || type == typeDesktop_) return std::string("AXSystemDialog");
        return std::string("AXUnknown");
    }

    std::optional<int32_t> windowPID(uint64_t window) override {
        std::lock_guard lock(mutex_);
        return pidOf(static_cast<Window>(window));
    }

    bool raiseWindow(uint64_t window) override {
        std::lock_guard lock(mutex_);
        // Goes to the window manager as a restack request.
        XRaiseWindow(display_, static_cast<Window>(window));
        XFlush(display_);
        return true;
    }

    bool activateApplication(int32_t pid) override {
        std::lock_guard lock(mutex_);
        auto stacking = windowList(root_, clientListStacking_);
        for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) {
            if (pidOf(*it) != pid || !onScreen(*it)) continue;
            requestActive(*it);
            return true;
        }
        return false;
    }

private:
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

    std::vector<unsigned long> cardinals(Window w, Atom property, Atom type) {
        std::vector<unsigned long> out;
        Atom actualType = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display_, w, property, 0, 64, False, type, &actualType, &format, &count,
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

    int64_t layerOf(Atom type) const {
        if (type == None || type == typeNormal_ || type == typeDialog_) return kNormalLayer;
        if (type == typeUtility_ || type == typeToolbar_ || type == typeSplash_) return kFloatingLayer;
        if (type == typeDock_) return kDockLayer;
        if (type == typeMenu_) return kFloatingLayer;
        return kPopUpLayer;  // notifications, tooltips, pop-up and drop-down menus
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
    Display* display_;
    Window root_;
    Atom clientListStacking_, activeWindow_, wmPid_, wmState_, stateHidden_, windowType_, frameExtents_;
    Atom typeDesktop_, typeDock_, typeNormal_, typeDialog_, typeUtility_, typeToolbar_, typeSplash_, typeMenu_;
};

}  // namespace

std::shared_ptr<WindowServices> createEwmhWindowServices(const std::string& displayName) {
    Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (!display) return nullptr;
    XErrorGuard::watch(display);
    return std::make_shared<EwmhWindowServices>(display);
}

}  // namespace df
