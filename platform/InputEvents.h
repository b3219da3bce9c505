#pragma once
// The host's input-event services: synthesised mouse, scroll-wheel and keyboard events, the
// cursor position, and the window list with the raise and activation that follow a click.
//
// Events are described the way the phone's protocol and the injector think about them: Mac
// event types, Mac virtual key codes, Mac modifier-flag masks, pixel scroll deltas with
// scroll and momentum phases. Each host implementation turns them into its own input (on
// Linux: XTest, see platform/linux/input); the fake records them for unit tests.
//
// Threads: InputEvents is called from the session queue ("duskferry.server"), the momentum
// queue ("duskferry.input.momentum") and the typing queue ("duskferry.input.typing") at the
// same time; implementations serialise their host connection themselves. WindowServices is
// called from "duskferry.input.ax".

#include "platform/Displays.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace df {

/// A point in global display coordinates (points; origin top left of the main display,
/// y downwards), the same space as DisplayBounds.
struct ScreenPoint {
    double x = 0;
    double y = 0;
    bool operator==(const ScreenPoint&) const = default;
};

inline bool boundsContain(const DisplayBounds& r, ScreenPoint p) {
    return p.x >= r.x && p.x < r.x + r.width && p.y >= r.y && p.y < r.y + r.height;
}

/// Modifier flags of an event, as Mac modifier masks.
namespace EventFlags {
inline constexpr uint64_t none = 0;
inline constexpr uint64_t shift = 0x20000;
inline constexpr uint64_t control = 0x40000;
inline constexpr uint64_t alternate = 0x80000;
inline constexpr uint64_t command = 0x100000;
inline constexpr uint64_t all = shift | control | alternate | command;
}  // namespace EventFlags

/// Values of the scroll-phase field (a finger gesture on a trackpad).
namespace ScrollPhase {
inline constexpr int64_t began = 1;
inline constexpr int64_t changed = 2;
inline constexpr int64_t ended = 4;
}  // namespace ScrollPhase

/// Values of the momentum-phase field (coasting after the fingers left).
namespace MomentumPhase {
inline constexpr int64_t begin = 1;
inline constexpr int64_t continues = 2;
inline constexpr int64_t end = 3;
}  // namespace MomentumPhase

enum class MouseButton { left, right };

/// One synthesised event, created by InputEvents::create…() and then adjusted by the
/// caller (click state, phases, flags) before it is posted.
struct InputEvent {
    enum class Type {
        mouseMoved,
        leftMouseDown,
        leftMouseUp,
        leftMouseDragged,
        rightMouseDown,
        rightMouseUp,
        scrollWheel,
        keyDown,
        keyUp,
    };

    Type type = Type::mouseMoved;
    bool hasSource = false;  ///< created with an event source (the fake records it)

    // Mouse events.
    ScreenPoint location;
    MouseButton button = MouseButton::left;
    int64_t clickState = 0;  ///< 1 single, 2 double, 3 triple, ...; 0 when not set

    // Scroll-wheel events, in pixels: wheel 1 vertical (positive scrolls up), wheel 2
    // horizontal (positive scrolls left).
    int32_t wheel1 = 0;
    int32_t wheel2 = 0;
    std::optional<int64_t> scrollPhase;    ///< ScrollPhase; absent for a plain wheel event
    std::optional<int64_t> momentumPhase;  ///< MomentumPhase; absent when not coasting

    // Keyboard events.
    uint16_t keyCode = 0;  ///< Mac virtual key code (ANSI layout)
    /// UTF-16 text the key event types instead of its key code; empty for a plain key.
    std::u16string unicode;

    /// Modifier flags (EventFlags). Absent: whatever modifiers the source's state has,
    /// i.e. the host's modifier keys are left as they are.
    std::optional<uint64_t> flags;

    bool isMouse() const { return type <= Type::rightMouseUp; }
    bool isKeyboard() const { return type == Type::keyDown || type == Type::keyUp; }
};

/// Origin of synthesised events, reflecting the combined state of the host's input
/// devices. Opaque to callers; may be unavailable, in which case events are created
/// without one.
class InputEventSource {
public:
    virtual ~InputEventSource() = default;
};

class InputEvents {
public:
    virtual ~InputEvents() = default;

    /// A source with the combined (HID system) state; nullptr when the host refuses.
    virtual std::shared_ptr<InputEventSource> createSource() = 0;

    // Creation can fail (the host is unreachable); the caller then skips that event.
    // `source` may be null.
    virtual std::optional<InputEvent> createMouseEvent(const InputEventSource* source,
                                                       InputEvent::Type type, ScreenPoint location,
                                                       MouseButton button) = 0;
    /// Pixel units, two wheels.
    virtual std::optional<InputEvent> createScrollWheelEvent(const InputEventSource* source,
                                                             int32_t wheel1, int32_t wheel2) = 0;
    virtual std::optional<InputEvent> createKeyboardEvent(const InputEventSource* source,
                                                          uint16_t keyCode, bool isDown) = 0;

    /// Posts at the lowest level (as if from the hardware). Events posted in sequence
    /// reach applications in that order. Never blocks for long, reports nothing.
    virtual void post(const InputEvent& event) = 0;

    /// The present cursor position; absent when it cannot be read. Reflects posted moves.
    virtual std::optional<ScreenPoint> cursorPosition() = 0;

    /// Releases every key and button that posted events left pressed (a key-down without
    /// its key-up, a button held for a drag). Called when the phone that pressed them goes
    /// away, so that nothing stays stuck on this computer.
    virtual void releaseHeldInput() = 0;

    /// Presses a chord of this host's own keys and lets go again: the keys named in `chord`
    /// (host key names joined by "+", such as "Super" or "Control+Alt+Down") go down in
    /// order and up in reverse order, with no other modifier held. False, pressing nothing,
    /// when a name is not a key of this host.
    virtual bool pressKeyChord(const std::string& chord) = 0;
};

/// What a window is to the window manager: on Linux its EWMH window type
/// (_NET_WM_WINDOW_TYPE); a window that names none is normal.
enum class WindowKind {
    normal,        ///< an application's main window
    dialog,
    utility,       ///< an application's floating palette or toolbar
    splash,
    menu,          ///< torn-off, drop-down and pop-up menus
    dock,          ///< docks and panels
    desktop,       ///< the desktop itself (icons, background)
    notification,
    other,         ///< tooltips, combo-box lists, drag feedback, types this host does not know
};

/// Surfaces of the desktop itself rather than of an application (desktop, docks and panels,
/// menus, notifications, tooltips): a click on one never raises or activates anything.
inline bool isSystemSurface(WindowKind kind) {
    switch (kind) {
        case WindowKind::menu:
        case WindowKind::dock:
        case WindowKind::desktop:
        case WindowKind::notification:
        case WindowKind::other:
            return true;
        case WindowKind::normal:
        case WindowKind::dialog:
        case WindowKind::utility:
        case WindowKind::splash:
            return false;
    }
    return false;
}

/// One entry of the on-screen window list.
struct WindowInfo {
    uint64_t windowID = 0;
    WindowKind kind = WindowKind::normal;
    std::optional<int32_t> ownerPID;
    std::optional<DisplayBounds> bounds;
};

/// The topmost window at a screen position, whatever its kind.
struct WindowAtPoint {
    uint64_t windowID = 0;
    WindowKind kind = WindowKind::normal;
    std::optional<int32_t> ownerPID;
};

/// Windows, applications and raising. All calls may fail (absent results, false).
class WindowServices {
public:
    virtual ~WindowServices() = default;

    /// On-screen windows front to back, the desktop itself excluded.
    virtual std::vector<WindowInfo> onScreenWindows() = 0;
    /// The application class of the running application with this process ID (on Linux the
    /// WM_CLASS class of its windows); absent when it has none or is gone.
    virtual std::optional<std::string> applicationClass(int32_t pid) = 0;
    /// Process ID of the frontmost (active) application.
    virtual std::optional<int32_t> frontmostApplicationPID() = 0;
    virtual int32_t ownPID() = 0;

    /// The topmost on-screen window containing a screen position (docks, menus and
    /// notifications included: they are what a click there lands on).
    virtual std::optional<WindowAtPoint> windowAt(ScreenPoint point) = 0;
    /// Puts the window on top of the others. False when it failed.
    virtual bool raiseWindow(uint64_t window) = 0;
    /// Brings the application with this process ID to the front.
    virtual bool activateApplication(int32_t pid) = 0;

    /// Asks the window manager to show the desktop (the windows out of the way) or, while it
    /// shows it, to bring the windows back. False when no window manager takes the request.
    virtual bool toggleShowingDesktop() = 0;
    /// Asks the window manager to switch to the desktop `offset` places from the current one,
    /// wrapping around past the first and the last. False when there is no other desktop.
    virtual bool switchDesktop(int offset) = 0;
};

}  // namespace df
