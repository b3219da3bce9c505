#include "platform/linux/displays/XRandRVirtualDisplays.h"

#include "platform/linux/displays/CvtMode.h"
#include "platform/linux/x11/XConnection.h"
#include "platform/linux/x11/XErrorGuard.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace df {
namespace {

template <typename T, void (*Free)(T*)>
struct XFreeer {
    void operator()(T* p) const {
        if (p) Free(p);
    }
};
using Resources = std::unique_ptr<XRRScreenResources, XFreeer<XRRScreenResources, XRRFreeScreenResources>>;
using OutputInfo = std::unique_ptr<XRROutputInfo, XFreeer<XRROutputInfo, XRRFreeOutputInfo>>;
using CrtcInfo = std::unique_ptr<XRRCrtcInfo, XFreeer<XRRCrtcInfo, XRRFreeCrtcInfo>>;

// One CRTC that shows something, with what it needs to be set again elsewhere.
struct ActiveCrtc {
    RRCrtc crtc = None;
    int x = 0, y = 0;
    unsigned width = 0, height = 0;
    RRMode mode = None;
    Rotation rotation = RR_Rotate_0;
    std::vector<RROutput> outputs;
};

struct Created {
    RROutput output = None;
    RRCrtc crtc = None;
    RRMode mode = None;
    Atom monitor = None;            ///< the RandR monitor that names it; None when unnamed
    RROutput primaryBefore = None;  ///< the primary output when it was added
    int screenWidth = 0, screenHeight = 0, screenMmWidth = 0, screenMmHeight = 0;  ///< before
    unsigned width = 0, height = 0, mmWidth = 0, mmHeight = 0;
};

class XRandRVirtualDisplays final : public VirtualDisplays {
public:
    explicit XRandRVirtualDisplays(std::unique_ptr<XConnection> connection) : connection_(std::move(connection)) {}

    std::variant<VirtualDisplayCreated, VirtualDisplayFailure> create(const VirtualDisplaySpec& spec) override {
        std::lock_guard lock(mutex_);
        using Kind = VirtualDisplayFailure::Kind;
        Display* dpy = connection_->get();
        if (!dpy) return VirtualDisplayFailure{Kind::noOutput, "the display server cannot be reached"};
        const ::Window root = DefaultRootWindow(dpy);
        Resources res(XRRGetScreenResourcesCurrent(dpy, root));
        if (!res) return VirtualDisplayFailure{Kind::noOutput, "the display server lists no outputs"};

        // A disconnected output that shows nothing, with a CRTC that is free. The dummy driver
        // reports an output connected once it had a mode: one that was ours before is taken
        // again first, so that the display keeps its ID from one time to the next.
        RROutput output = None;
        RRCrtc crtc = None;
        std::string outputName;
        std::vector<RROutput> candidates(usedOutputs_.begin(), usedOutputs_.end());
        candidates.insert(candidates.end(), res->outputs, res->outputs + res->noutput);
        for (size_t i = 0; i < candidates.size() && output == None; ++i) {
            const bool ours = i < usedOutputs_.size();
            if (!ours && std::find(usedOutputs_.begin(), usedOutputs_.end(), candidates[i]) != usedOutputs_.end())
                continue;
            OutputInfo info(XRRGetOutputInfo(dpy, res.get(), candidates[i]));
            if (!info || (!ours && info->connection != RR_Disconnected) || info->crtc != None) continue;
            for (int c = 0; c < info->ncrtc; ++c) {
                CrtcInfo ci(XRRGetCrtcInfo(dpy, res.get(), info->crtcs[c]));
                if (ci && ci->mode == None && ci->noutput == 0) {
                    output = candidates[i];
                    crtc = info->crtcs[c];
                    outputName.assign(info->name, static_cast<size_t>(info->nameLen));
                    break;
                }
            }
        }
        if (output == None) return VirtualDisplayFailure{Kind::noOutput, "no disconnected output with a free CRTC"};

        const auto timings = cvtTimings(spec.width, spec.height, spec.refreshRate);
        if (!timings) return VirtualDisplayFailure{Kind::modeRejected, "no CVT timings for this size and rate"};

        const std::vector<ActiveCrtc> active = activeCrtcs(dpy, res.get());
        int right = 0;
        for (const auto& a : active) right = std::max(right, a.x + static_cast<int>(a.width));
        const int screenWidth = DisplayWidth(dpy, DefaultScreen(dpy));
        const int screenHeight = DisplayHeight(dpy, DefaultScreen(dpy));
        const int screenMmWidth = DisplayWidthMM(dpy, DefaultScreen(dpy));
        const int screenMmHeight = DisplayHeightMM(dpy, DefaultScreen(dpy));
        const int newWidth = std::max(screenWidth, right + static_cast<int>(spec.width));
        const int newHeight = std::max(screenHeight, static_cast<int>(spec.height));
        int minW = 0, minH = 0, maxW = 0, maxH = 0;
        XRRGetScreenSizeRange(dpy, root, &minW, &minH, &maxW, &maxH);
        if (newWidth > maxW || newHeight > maxH) {
            return VirtualDisplayFailure{Kind::applyFailed, "the screen cannot grow to " + std::to_string(newWidth) +
                                                                "x" + std::to_string(newHeight)};
        }

        char rate[32];
        std::snprintf(rate, sizeof rate, "%.0f", spec.refreshRate);
        std::string modeName =
            spec.name + " " + std::to_string(spec.width) + "x" + std::to_string(spec.height) + "@" + rate;
        XRRModeInfo mi{};
        mi.width = timings->width;
        mi.height = timings->height;
        mi.dotClock = timings->dotClockHz;
        mi.hSyncStart = timings->hSyncStart;
        mi.hSyncEnd = timings->hSyncEnd;
        mi.hTotal = timings->hTotal;
        mi.vSyncStart = timings->vSyncStart;
        mi.vSyncEnd = timings->vSyncEnd;
        mi.vTotal = timings->vTotal;
        mi.modeFlags = (timings->hSyncPositive ? RR_HSyncPositive : RR_HSyncNegative) |
                       (timings->vSyncPositive ? RR_VSyncPositive : RR_VSyncNegative);
        mi.name = modeName.data();
        mi.nameLength = static_cast<unsigned>(modeName.size());

        uint64_t errors = XErrorGuard::errorCount(dpy);
        const RRMode mode = XRRCreateMode(dpy, root, &mi);
        if (mode == None || failedSince(dpy, errors))
            return VirtualDisplayFailure{Kind::modeRejected, "the server refused the mode " + modeName};
        XRRAddOutputMode(dpy, output, mode);
        if (failedSince(dpy, errors)) {
            XRRDestroyMode(dpy, mode);
            XSync(dpy, False);
            return VirtualDisplayFailure{Kind::modeRejected, "output " + outputName + " refused the mode"};
        }

        // Screen first, so that the CRTC lies inside it when it is switched on.
        const int mmWidth = scaledMm(screenMmWidth, screenWidth, newWidth);
        const int mmHeight = scaledMm(screenMmHeight, screenHeight, newHeight);
        XGrabServer(dpy);
        if (newWidth != screenWidth || newHeight != screenHeight)
            XRRSetScreenSize(dpy, root, newWidth, newHeight, mmWidth, mmHeight);
        RROutput outputs[1] = {output};
        const Status status = XRRSetCrtcConfig(dpy, res.get(), crtc, CurrentTime, right, 0, mode, RR_Rotate_0, outputs, 1);
        XUngrabServer(dpy);
        if (status != RRSetConfigSuccess || failedSince(dpy, errors)) {
            XRRSetCrtcConfig(dpy, res.get(), crtc, CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
            if (newWidth != screenWidth || newHeight != screenHeight)
                XRRSetScreenSize(dpy, root, screenWidth, screenHeight, screenMmWidth, screenMmHeight);
            XRRDeleteOutputMode(dpy, output, mode);
            XRRDestroyMode(dpy, mode);
            XSync(dpy, False);
            return VirtualDisplayFailure{Kind::applyFailed, "output " + outputName + " could not be switched on"};
        }

        Created c;
        c.output = output;
        c.crtc = crtc;
        c.mode = mode;
        c.primaryBefore = XRRGetOutputPrimary(dpy, root);
        c.screenWidth = screenWidth;
        c.screenHeight = screenHeight;
        c.screenMmWidth = screenMmWidth;
        c.screenMmHeight = screenMmHeight;
        c.width = spec.width;
        c.height = spec.height;
        c.mmWidth = spec.widthMillimetres;
        c.mmHeight = spec.heightMillimetres;

        // A monitor over the output gives it the name; a server without RandR 1.5 monitors
        // (or one that refuses) leaves the output's own name.
        errors = XErrorGuard::errorCount(dpy);
        const Atom name = XInternAtom(dpy, spec.name.c_str(), False);
        setMonitor(dpy, root, name, c, right, 0, false);
        if (name != None && !failedSince(dpy, errors)) c.monitor = name;

        if (std::find(usedOutputs_.begin(), usedOutputs_.end(), output) == usedOutputs_.end())
            usedOutputs_.push_back(output);
        const uint64_t token = ++lastToken_;
        created_.emplace(token, c);
        return VirtualDisplayCreated{static_cast<uint32_t>(output), token, c.monitor != None ? spec.name : outputName};
    }

    void destroy(uint64_t token) override {
        std::lock_guard lock(mutex_);
        auto it = created_.find(token);
        if (it == created_.end()) return;
        const Created c = it->second;
        created_.erase(it);
        Display* dpy = connection_->get();
        if (!dpy) return;
        const ::Window root = DefaultRootWindow(dpy);
        if (c.monitor != None) XRRDeleteMonitor(dpy, root, c.monitor);
        Resources res(XRRGetScreenResourcesCurrent(dpy, root));
        if (!res) return;
        XGrabServer(dpy);
        XRRSetCrtcConfig(dpy, res.get(), c.crtc, CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
        // What is left moves back to the top left corner, and the screen shrinks around it:
        // to its size before the display came when that still holds everything.
        std::vector<ActiveCrtc> rest = activeCrtcs(dpy, res.get());
        int minX = 0, minY = 0;
        if (!rest.empty()) {
            minX = rest.front().x;
            minY = rest.front().y;
            for (const auto& a : rest) {
                minX = std::min(minX, a.x);
                minY = std::min(minY, a.y);
            }
        }
        int width = 0, height = 0;
        for (auto& a : rest) {
            if (minX != 0 || minY != 0) {
                a.x -= minX;
                a.y -= minY;
                XRRSetCrtcConfig(dpy, res.get(), a.crtc, CurrentTime, a.x, a.y, a.mode, a.rotation, a.outputs.data(),
                                 static_cast<int>(a.outputs.size()));
            }
            width = std::max(width, a.x + static_cast<int>(a.width));
            height = std::max(height, a.y + static_cast<int>(a.height));
        }
        if (width <= c.screenWidth && height <= c.screenHeight) {
            XRRSetScreenSize(dpy, root, c.screenWidth, c.screenHeight, c.screenMmWidth, c.screenMmHeight);
        } else {
            const int w = DisplayWidth(dpy, DefaultScreen(dpy)), h = DisplayHeight(dpy, DefaultScreen(dpy));
            XRRSetScreenSize(dpy, root, width, height, scaledMm(DisplayWidthMM(dpy, DefaultScreen(dpy)), w, width),
                             scaledMm(DisplayHeightMM(dpy, DefaultScreen(dpy)), h, height));
        }
        if (XRRGetOutputPrimary(dpy, root) == c.output) {
            RROutput primary = None;
            for (const auto& a : rest) {
                for (RROutput o : a.outputs) {
                    if (o == c.primaryBefore) primary = o;
                }
            }
            if (primary == None && !rest.empty() && !rest.front().outputs.empty()) primary = rest.front().outputs.front();
            XRRSetOutputPrimary(dpy, root, primary);
        }
        XUngrabServer(dpy);
        XRRDeleteOutputMode(dpy, c.output, c.mode);
        XRRDestroyMode(dpy, c.mode);
        XSync(dpy, False);
        // Monitors of the displays still there follow their CRTCs.
        renameMonitors(dpy, root, res.get());
    }

    bool configure(const std::vector<DisplayPlacement>& placements, uint32_t mainID) override {
        std::lock_guard lock(mutex_);
        Display* dpy = connection_->get();
        if (!dpy) return false;
        const ::Window root = DefaultRootWindow(dpy);
        Resources res(XRRGetScreenResourcesCurrent(dpy, root));
        if (!res) return false;
        std::vector<ActiveCrtc> active = activeCrtcs(dpy, res.get());
        auto crtcShowing = [&](uint32_t id) -> ActiveCrtc* {
            for (auto& a : active) {
                if (std::find(a.outputs.begin(), a.outputs.end(), static_cast<RROutput>(id)) != a.outputs.end())
                    return &a;
            }
            return nullptr;
        };
        if (!crtcShowing(mainID)) return false;
        std::map<RRCrtc, std::pair<int64_t, int64_t>> moved;
        for (const auto& p : placements) {
            ActiveCrtc* a = crtcShowing(p.displayID);
            if (!a) return false;
            moved[a->crtc] = {p.x, p.y};
        }
        int64_t minX = INT64_MAX, minY = INT64_MAX;
        for (const auto& a : active) {
            auto it = moved.find(a.crtc);
            minX = std::min(minX, it != moved.end() ? it->second.first : int64_t{a.x});
            minY = std::min(minY, it != moved.end() ? it->second.second : int64_t{a.y});
        }
        std::vector<std::pair<ActiveCrtc, std::pair<int, int>>> plan;
        int64_t width = 0, height = 0;
        for (const auto& a : active) {
            auto it = moved.find(a.crtc);
            const int64_t x = (it != moved.end() ? it->second.first : a.x) - minX;
            const int64_t y = (it != moved.end() ? it->second.second : a.y) - minY;
            width = std::max(width, x + a.width);
            height = std::max(height, y + a.height);
            plan.push_back({a, {static_cast<int>(x), static_cast<int>(y)}});
        }
        int minW = 0, minH = 0, maxW = 0, maxH = 0;
        XRRGetScreenSizeRange(dpy, root, &minW, &minH, &maxW, &maxH);
        if (width > maxW || height > maxH) return false;

        const int screenWidth = DisplayWidth(dpy, DefaultScreen(dpy));
        const int screenHeight = DisplayHeight(dpy, DefaultScreen(dpy));
        const int mmW = DisplayWidthMM(dpy, DefaultScreen(dpy)), mmH = DisplayHeightMM(dpy, DefaultScreen(dpy));
        const int w = static_cast<int>(width), h = static_cast<int>(height);
        const uint64_t errors = XErrorGuard::errorCount(dpy);
        XGrabServer(dpy);
        // Room for the old and the new places while the CRTCs move, then the new size.
        const int growW = std::max(screenWidth, w), growH = std::max(screenHeight, h);
        if (growW != screenWidth || growH != screenHeight)
            XRRSetScreenSize(dpy, root, growW, growH, scaledMm(mmW, screenWidth, growW), scaledMm(mmH, screenHeight, growH));
        bool ok = true;
        for (auto& [a, to] : plan) {
            if (a.x == to.first && a.y == to.second) continue;
            ok = XRRSetCrtcConfig(dpy, res.get(), a.crtc, CurrentTime, to.first, to.second, a.mode, a.rotation,
                                  a.outputs.data(), static_cast<int>(a.outputs.size())) == RRSetConfigSuccess && ok;
        }
        if (w != growW || h != growH)
            XRRSetScreenSize(dpy, root, w, h, scaledMm(mmW, screenWidth, w), scaledMm(mmH, screenHeight, h));
        XRRSetOutputPrimary(dpy, root, static_cast<RROutput>(mainID));
        XUngrabServer(dpy);
        ok = !failedSince(dpy, errors) && ok;
        renameMonitors(dpy, root, res.get());
        return ok;
    }

private:
    static int scaledMm(int mm, int pixels, int newPixels) {
        if (mm <= 0 || pixels <= 0) return std::max(1, newPixels * 254 / 960);  // 96 dpi
        return static_cast<int>(std::lround(static_cast<double>(mm) * newPixels / pixels));
    }

    // Requests without a reply report their errors later: after a round trip they are in.
    static bool failedSince(Display* dpy, uint64_t errorsBefore) {
        XSync(dpy, False);
        return XErrorGuard::errorCount(dpy) != errorsBefore;
    }

    static std::vector<ActiveCrtc> activeCrtcs(Display* dpy, XRRScreenResources* res) {
        std::vector<ActiveCrtc> out;
        for (int i = 0; i < res->ncrtc; ++i) {
            CrtcInfo ci(XRRGetCrtcInfo(dpy, res, res->crtcs[i]));
            if (!ci || ci->mode == None || ci->noutput == 0) continue;
            ActiveCrtc a;
            a.crtc = res->crtcs[i];
            a.x = ci->x;
            a.y = ci->y;
            a.width = ci->width;
            a.height = ci->height;
            a.mode = ci->mode;
            a.rotation = ci->rotation;
            a.outputs.assign(ci->outputs, ci->outputs + ci->noutput);
            out.push_back(std::move(a));
        }
        return out;
    }

    static void setMonitor(Display* dpy, ::Window root, Atom name, const Created& c, int x, int y, bool primary) {
        RROutput outputs[1] = {c.output};
        XRRMonitorInfo m{};
        m.name = name;
        m.primary = primary ? True : False;
        m.automatic = False;
        m.noutput = 1;
        m.x = x;
        m.y = y;
        m.width = static_cast<int>(c.width);
        m.height = static_cast<int>(c.height);
        m.mwidth = static_cast<int>(c.mmWidth);
        m.mheight = static_cast<int>(c.mmHeight);
        m.outputs = outputs;
        XRRSetMonitor(dpy, root, &m);
    }

    // A monitor set by a client keeps the geometry it was given, while the CRTC under it
    // moves: the monitors naming our displays are set again where their CRTCs are now, and
    // the one whose output is primary is the primary monitor.
    void renameMonitors(Display* dpy, ::Window root, XRRScreenResources* res) {
        const RROutput primary = XRRGetOutputPrimary(dpy, root);
        for (const auto& [token, c] : created_) {
            if (c.monitor == None) continue;
            CrtcInfo ci(XRRGetCrtcInfo(dpy, res, c.crtc));
            if (!ci || ci->mode == None) continue;
            // Setting a monitor whose name exists is refused (BadValue): it is replaced.
            XRRDeleteMonitor(dpy, root, c.monitor);
            setMonitor(dpy, root, c.monitor, c, ci->x, ci->y, primary == c.output);
        }
        XSync(dpy, False);
    }

    std::mutex mutex_;
    std::unique_ptr<XConnection> connection_;
    std::map<uint64_t, Created> created_;
    std::vector<RROutput> usedOutputs_;  ///< outputs that carried a virtual display, oldest first
    uint64_t lastToken_ = 0;
};

}  // namespace

std::shared_ptr<VirtualDisplays> createXRandRVirtualDisplays(const std::string& displayName) {
    auto connection = std::make_unique<XConnection>(displayName, [](::Display* dpy) {
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        return XRRQueryExtension(dpy, &eventBase, &errorBase) && XRRQueryVersion(dpy, &major, &minor) &&
               (major > 1 || (major == 1 && minor >= 5));
    });
    if (!connection->get()) return nullptr;
    return std::make_shared<XRandRVirtualDisplays>(std::move(connection));
}

}  // namespace df
