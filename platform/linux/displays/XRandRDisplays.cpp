#include "platform/linux/displays/XRandRDisplays.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <mutex>

namespace df {
namespace {

class XRandRDisplays final : public Displays {
public:
    explicit XRandRDisplays(::Display* dpy) : dpy_(dpy) {}
    ~XRandRDisplays() override { XCloseDisplay(dpy_); }

    std::vector<DisplayDescription> activeDisplays(size_t maxCount) override {
        std::lock_guard lock(mutex_);
        return query(maxCount);
    }

    DisplayBounds bounds(uint32_t id) override {
        std::lock_guard lock(mutex_);
        for (const auto& d : query(64)) {
            if (d.id == id) return d.bounds;
        }
        return {};
    }

private:
    // Runs under mutex_: one Xlib connection is used by one thread at a time.
    std::vector<DisplayDescription> query(size_t maxCount) {
        std::vector<DisplayDescription> out;
        ::Window root = DefaultRootWindow(dpy_);
        int count = 0;
        XRRMonitorInfo* monitors = XRRGetMonitors(dpy_, root, True, &count);
        if (!monitors) return out;
        XRRScreenResources* res = XRRGetScreenResourcesCurrent(dpy_, root);
        for (int i = 0; i < count && out.size() < maxCount; ++i) {
            const XRRMonitorInfo& m = monitors[i];
            if (m.width <= 0 || m.height <= 0) continue;
            DisplayDescription d;
            d.id = m.noutput > 0 ? static_cast<uint32_t>(m.outputs[0]) : static_cast<uint32_t>(m.name);
            if (char* name = XGetAtomName(dpy_, m.name)) {
                d.name = name;
                XFree(name);
            }
            d.bounds = {static_cast<double>(m.x), static_cast<double>(m.y), static_cast<double>(m.width),
                        static_cast<double>(m.height)};
            d.isMain = m.primary != 0;
            if (res && m.noutput > 0) d.refreshRate = refreshRate(res, m.outputs[0]);
            out.push_back(std::move(d));
        }
        if (res) XRRFreeScreenResources(res);
        XRRFreeMonitors(monitors);
        return out;
    }

    double refreshRate(XRRScreenResources* res, RROutput output) {
        double rate = 0;
        XRROutputInfo* info = XRRGetOutputInfo(dpy_, res, output);
        if (!info) return 0;
        if (info->crtc != None) {
            if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(dpy_, res, info->crtc)) {
                for (int i = 0; i < res->nmode; ++i) {
                    const XRRModeInfo& mode = res->modes[i];
                    if (mode.id == crtc->mode && mode.hTotal && mode.vTotal) {
                        rate = static_cast<double>(mode.dotClock) /
                               (static_cast<double>(mode.hTotal) * static_cast<double>(mode.vTotal));
                    }
                }
                XRRFreeCrtcInfo(crtc);
            }
        }
        XRRFreeOutputInfo(info);
        return rate;
    }

    ::Display* dpy_;
    std::mutex mutex_;
};

}  // namespace

std::shared_ptr<Displays> createXRandRDisplays(const std::string& displayName) {
    ::Display* dpy = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (!dpy) return nullptr;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(dpy, &eventBase, &errorBase) || !XRRQueryVersion(dpy, &major, &minor) ||
        major < 1 || (major == 1 && minor < 5)) {
        XCloseDisplay(dpy);
        return nullptr;
    }
    return std::make_shared<XRandRDisplays>(dpy);
}

}  // namespace df
