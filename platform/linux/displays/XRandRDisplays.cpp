#include "platform/linux/displays/XRandRDisplays.h"

#include "platform/linux/x11/RandRMonitorID.h"
#include "platform/linux/x11/XConnection.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <map>
#include <mutex>
#include <string>

namespace df {
namespace {

class XRandRDisplays final : public Displays {
public:
    explicit XRandRDisplays(std::unique_ptr<XConnection> connection) : connection_(std::move(connection)) {}

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
    //
    // The list is read several times for each phone that connects, so a query costs one
    // round trip: the monitors (geometry, primary, names) are asked for every time, while
    // what changes far less often is kept. Names are kept per name atom (an atom's name
    // never changes while the server runs); refresh rates until RandR reports a change of
    // screen, CRTC or output, events that arrive on this connection by themselves.
    std::vector<DisplayDescription> query(size_t maxCount) {
        std::vector<DisplayDescription> out;
        dpy_ = connection_->get();
        if (!dpy_) return out;
        ::Window root = DefaultRootWindow(dpy_);
        if (connection_->generation() != generation_) {
            names_.clear();
            rates_.clear();
            XRRSelectInput(dpy_, root, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
            generation_ = connection_->generation();
        }
        dropStaleRates();
        int count = 0;
        XRRMonitorInfo* monitors = XRRGetMonitors(dpy_, root, True, &count);
        if (!monitors) return out;
        XRRScreenResources* res = nullptr;
        for (int i = 0; i < count && out.size() < maxCount; ++i) {
            const XRRMonitorInfo& m = monitors[i];
            if (m.width <= 0 || m.height <= 0) continue;
            DisplayDescription d;
            d.id = randrMonitorDisplayID(m);
            d.name = nameOf(m.name);
            d.bounds = {static_cast<double>(m.x), static_cast<double>(m.y), static_cast<double>(m.width),
                        static_cast<double>(m.height)};
            d.isMain = m.primary != 0;
            if (m.noutput > 0) {
                if (auto it = rates_.find(m.outputs[0]); it != rates_.end()) {
                    d.refreshRate = it->second;
                } else {
                    if (!res) res = XRRGetScreenResourcesCurrent(dpy_, root);
                    if (res) d.refreshRate = refreshRate(res, m.outputs[0]);
                    if (res && !connection_->broken()) rates_.emplace(m.outputs[0], d.refreshRate);
                }
            }
            out.push_back(std::move(d));
        }
        if (res) XRRFreeScreenResources(res);
        XRRFreeMonitors(monitors);
        return out;
    }

    // Reads what the server sent without waiting: any RandR change notice makes the kept
    // refresh rates stale.
    void dropStaleRates() {
        while (XPending(dpy_) > 0) {
            XEvent event;
            XNextEvent(dpy_, &event);
            XRRUpdateConfiguration(&event);
            rates_.clear();
        }
    }

    std::string nameOf(Atom atom) {
        if (auto it = names_.find(atom); it != names_.end()) return it->second;
        std::string name;
        if (char* text = XGetAtomName(dpy_, atom)) {
            name = text;
            XFree(text);
            names_.emplace(atom, name);
        }
        return name;
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

    std::mutex mutex_;
    std::unique_ptr<XConnection> connection_;
    ::Display* dpy_ = nullptr;  ///< the connection's display during one query
    uint64_t generation_ = 0;   ///< the connection the caches below belong to
    std::map<Atom, std::string> names_;
    std::map<RROutput, double> rates_;
};

}  // namespace

std::shared_ptr<Displays> createXRandRDisplays(const std::string& displayName) {
    // Monitors need RandR 1.5.
    auto connection = std::make_unique<XConnection>(displayName, [](::Display* dpy) {
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        return XRRQueryExtension(dpy, &eventBase, &errorBase) && XRRQueryVersion(dpy, &major, &minor) &&
               (major > 1 || (major == 1 && minor >= 5));
    });
    if (!connection->get()) return nullptr;
    return std::make_shared<XRandRDisplays>(std::move(connection));
}

}  // namespace df
