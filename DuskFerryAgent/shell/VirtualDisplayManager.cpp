#include "DuskFerryAgent/shell/VirtualDisplayManager.h"

#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/capture/VirtualDisplayControl.h"
#include "DuskFerryAgent/capture/VirtualDisplayShim.h"
#include "DuskFerryAgent/shell/L10n.h"

#include <algorithm>

namespace df {

std::shared_ptr<VirtualDisplayManager> VirtualDisplayManager::create(Services services) {
    return std::shared_ptr<VirtualDisplayManager>(new VirtualDisplayManager(std::move(services)));
}

VirtualDisplayManager::VirtualDisplayManager(Services services) : services_(std::move(services)) {}

VirtualDisplayManager::~VirtualDisplayManager() {
    if (restoreMainWork_) restoreMainWork_->cancel();
    if (refreshWork_) refreshWork_->cancel();
}

void VirtualDisplayManager::onMain(std::function<void(VirtualDisplayManager&)> work) {
    std::weak_ptr<VirtualDisplayManager> weak = weak_from_this();
    services_.mainQueue->post([weak, work = std::move(work)] {
        if (auto self = weak.lock()) work(*self);
    });
}

void VirtualDisplayManager::install(VirtualDisplayControl& control) {
    std::weak_ptr<VirtualDisplayManager> weak = weak_from_this();
    control.installSetEnabled([weak](bool on) {
        auto self = weak.lock();
        if (!self) return;
        self->onMain([on](VirtualDisplayManager& m) {
            if (!on) {
                m.disableVirtualDisplay();
            } else if (m.handle_) {
                // Turned on by hand while it exists: it now outlives the session.
                m.autoCreated_ = false;
            } else {
                m.enableVirtualDisplay(false);
            }
        });
    });
    control.installEnableAuto([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->onMain([](VirtualDisplayManager& m) {
            if (!m.handle_) m.enableVirtualDisplay(true);
        });
    });
    // Its callers run on the main queue already; from anywhere else it moves there.
    control.installSetSessionActive([weak](bool active) {
        auto self = weak.lock();
        if (!self) return;
        if (self->services_.mainQueue->isCurrent()) {
            self->setSessionActive(active);
        } else {
            self->onMain([active](VirtualDisplayManager& m) { m.setSessionActive(active); });
        }
    });
}

std::optional<uint32_t> VirtualDisplayManager::virtualDisplayID() const {
    if (!handle_) return std::nullopt;
    return handle_->displayID();
}

void VirtualDisplayManager::setPanelFlag(bool on) {
    virtualDisplayOn_ = on;
    if (services_.onVirtualDisplayOn) services_.onVirtualDisplayOn(on);
}

void VirtualDisplayManager::enableVirtualDisplay(bool autoCreated) {
    // A second display would leave the first one's handle behind, and its output in use,
    // for good: while one exists, turning it on only decides whether it outlives the session.
    if (handle_) {
        autoCreated_ = autoCreated_ && autoCreated;
        return;
    }
    std::unique_ptr<VirtualDisplayHandle> handle;
    const uint32_t id = DFVirtualDisplayCreate(*services_.shim, width, height, hiDPI, name, refreshRate, handle);
    if (id != 0 && handle) {
        handle_ = std::move(handle);
        autoCreated_ = autoCreated;
        services_.displays->setVirtualDisplayID(id);
        setPanelFlag(true);
    } else {
        autoCreated_ = false;
        setPanelFlag(false);
        // Said once: a display server without a spare output stays without one.
        if (!failureReported_ && services_.onStatus) {
            failureReported_ = true;
            services_.onStatus(services_.l10n->t("这台电脑的显示服务器无法添加虚拟显示器"));
        }
    }
    if (services_.prewarmed) services_.prewarmed->take();
    refreshCaptureAfterDisplayChange();
}

void VirtualDisplayManager::disableVirtualDisplay() {
    if (handle_) DFVirtualDisplayDestroy(*services_.shim, std::move(handle_));
    handle_.reset();
    autoCreated_ = false;
    services_.displays->setVirtualDisplayID(std::nullopt);
    setPanelFlag(false);
    if (services_.prewarmed) services_.prewarmed->take();
    refreshCaptureAfterDisplayChange();
}

void VirtualDisplayManager::refreshCaptureAfterDisplayChange() {
    // The new display takes a moment to reach the capture service's list. Capture itself is
    // restarted by the session's screen resync, not here.
    if (refreshWork_) refreshWork_->cancel();
    std::weak_ptr<VirtualDisplayManager> weak = weak_from_this();
    refreshWork_ = services_.mainQueue->postAfter(refreshDelay, [weak] {
        auto self = weak.lock();
        if (!self) return;
        if (self->sessionActive_ && self->handle_) {
            if (auto id = self->services_.displays->virtualDisplayID()) self->makeMainDisplay(*id);
        }
        if (self->services_.prewarmed) self->services_.prewarmed->prewarm();
    });
}

void VirtualDisplayManager::makeMainDisplay(uint32_t displayID) {
    const auto& service = services_.displays->service();
    auto& host = services_.shim->host();
    if (!service || !host) return;
    const auto list = service->activeDisplays(DisplayTarget::maxDisplays);
    auto found = std::find_if(list.begin(), list.end(), [displayID](const auto& d) { return d.id == displayID; });
    if (found == list.end()) return;
    if (!saved_) {
        Arrangement before;
        for (const auto& d : list) {
            before.placements.push_back(
                {d.id, static_cast<int64_t>(d.bounds.x), static_cast<int64_t>(d.bounds.y)});
            if (d.isMain && before.mainID == 0) before.mainID = d.id;
        }
        if (before.mainID == 0) before.mainID = list.front().id;
        saved_ = std::move(before);
    }
    // The main display at the origin, the others in one row to its left in list order.
    std::vector<DisplayPlacement> placements{{displayID, 0, 0}};
    int64_t x = 0;
    for (const auto& d : list) {
        if (d.id == displayID) continue;
        x -= static_cast<int64_t>(d.bounds.width);
        placements.push_back({d.id, x, 0});
    }
    host->configure(placements, displayID);
}

void VirtualDisplayManager::restoreOriginalMainDisplay() {
    // Only an arrangement this manager changed is put back: with nothing saved, the user's
    // own arrangement of real displays is left alone.
    if (!saved_) return;
    const auto& service = services_.displays->service();
    auto& host = services_.shim->host();
    Arrangement saved = std::move(*saved_);
    saved_.reset();
    if (!service || !host) return;
    const auto list = service->activeDisplays(DisplayTarget::maxDisplays);
    auto active = [&list](uint32_t id) {
        return std::any_of(list.begin(), list.end(), [id](const auto& d) { return d.id == id; });
    };
    std::vector<DisplayPlacement> placements;
    for (const auto& p : saved.placements) {
        if (active(p.displayID)) placements.push_back(p);
    }
    uint32_t mainID = saved.mainID;
    if (!active(mainID)) {
        const auto virtualID = services_.displays->virtualDisplayID();
        auto first = std::find_if(list.begin(), list.end(), [&](const auto& d) { return d.id != virtualID; });
        if (first == list.end()) return;
        mainID = first->id;
    }
    host->configure(placements, mainID);
}

void VirtualDisplayManager::setSessionActive(bool active) {
    if (restoreMainWork_) {
        restoreMainWork_->cancel();
        restoreMainWork_.reset();
    }
    sessionActive_ = active;
    if (active) {
        if (auto id = services_.displays->virtualDisplayID(); id && handle_) makeMainDisplay(*id);
        return;
    }
    std::weak_ptr<VirtualDisplayManager> weak = weak_from_this();
    restoreMainWork_ = services_.mainQueue->postAfter(restoreDelay, [weak] {
        auto self = weak.lock();
        if (!self || self->sessionActive_) return;
        self->restoreMainWork_.reset();
        // An automatic display goes; the real displays get their arrangement back either way.
        if (self->autoCreated_ && self->handle_) self->disableVirtualDisplay();
        self->restoreOriginalMainDisplay();
    });
}

void VirtualDisplayManager::shutdown() {
    if (restoreMainWork_) restoreMainWork_->cancel();
    if (refreshWork_) refreshWork_->cancel();
    if (handle_) {
        DFVirtualDisplayDestroy(*services_.shim, std::move(handle_));
        handle_.reset();
        services_.displays->setVirtualDisplayID(std::nullopt);
    }
    restoreOriginalMainDisplay();
}

}  // namespace df
