#pragma once
// The application shell's side of the virtual display: turning it on and off (from the
// phone, the panel's switch, or automatically when there is no usable display), making it
// the main display while a session is active, and putting the previous arrangement back
// three seconds after the session ended (or taking an automatically created display away).
// It fills the VirtualDisplayControl slots at start.
//
// Everything runs on the main queue: the slots that may be called from elsewhere move their
// work there; the operations below expect to be called on it.

#include "platform/DispatchQueue.h"
#include "platform/VirtualDisplays.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace df {

class DisplayTarget;
class L10n;
class PrewarmedContent;
class VirtualDisplayControl;
class VirtualDisplayHandle;
class VirtualDisplayShim;

class VirtualDisplayManager : public std::enable_shared_from_this<VirtualDisplayManager> {
public:
    /// The display the agent asks for: 5K at 120 Hz with factor 2, a 2560 × 1440 mode.
    static constexpr uint32_t width = 5120;
    static constexpr uint32_t height = 2880;
    static constexpr uint32_t hiDPI = 2;
    static constexpr double refreshRate = 120;
    static constexpr const char* name = "Brevox Display";
    /// Seconds from a display change until the capture service's list is refreshed.
    static constexpr double refreshDelay = 0.7;
    /// Seconds from the end of a session until the main display is restored.
    static constexpr double restoreDelay = 3.0;

    struct Services {
        std::shared_ptr<DispatchQueue> mainQueue;
        std::shared_ptr<VirtualDisplayShim> shim;
        std::shared_ptr<DisplayTarget> displays;
        /// The capture service's content snapshot; may be null.
        std::shared_ptr<PrewarmedContent> prewarmed;
        /// The panel's status line: called with localised text on the main queue.
        std::function<void(const std::string&)> onStatus;
        std::shared_ptr<const L10n> l10n;
        /// The panel's virtual-display switch follows this; may be empty.
        std::function<void(bool on)> onVirtualDisplayOn;
    };

    static std::shared_ptr<VirtualDisplayManager> create(Services services);
    ~VirtualDisplayManager();

    /// Fills the three slots (each holds this manager weakly).
    void install(VirtualDisplayControl& control);

    // Main queue only.
    void enableVirtualDisplay(bool autoCreated);
    void disableVirtualDisplay();
    void makeMainDisplay(uint32_t displayID);
    void restoreOriginalMainDisplay();
    void refreshCaptureAfterDisplayChange();
    void setSessionActive(bool active);
    /// At the agent's end: the virtual display goes and the arrangement from before it
    /// comes back, so that the display server is left as it was found.
    void shutdown();

    bool virtualDisplayOn() const { return virtualDisplayOn_; }
    bool virtualDisplayAutoCreated() const { return autoCreated_; }
    bool sessionActive() const { return sessionActive_; }
    std::optional<uint32_t> virtualDisplayID() const;

private:
    explicit VirtualDisplayManager(Services services);
    void setPanelFlag(bool on);
    void onMain(std::function<void(VirtualDisplayManager&)> work);

    struct Arrangement {
        std::vector<DisplayPlacement> placements;
        uint32_t mainID = 0;
    };

    Services services_;
    std::unique_ptr<VirtualDisplayHandle> handle_;
    bool autoCreated_ = false;
    bool sessionActive_ = false;
    bool virtualDisplayOn_ = false;
    bool failureReported_ = false;
    WorkItemRef restoreMainWork_;
    WorkItemRef refreshWork_;
    /// The arrangement before the virtual display was first made main; what a restore puts back.
    std::optional<Arrangement> saved_;
};

}  // namespace df
