#pragma once
// Turns the phone's pointer, scroll, key, text and gesture messages into input events on
// this computer.
//
// One injector per session, created on the first input message with the session's serial
// queue as `eventQueue`. Every handle…() call comes from that queue, for an authenticated
// phone only; the pointer and scroll fields are touched only there. Window raising after a
// click and the window manager's desktop requests run on "duskferry.input.ax", scroll
// momentum on "duskferry.input.momentum", and typed text on "duskferry.input.typing":
// typing a long text (keymap changes wait for clients to catch up) must not hold up the
// session queue, where heartbeats and new connections are answered. Events that follow a
// text still being typed wait behind it on the typing queue, so input keeps the phone's
// order.

#include "DuskFerryAgent/input/ScrollMomentum.h"
#include "DuskFerryAgent/input/TargetDisplays.h"
#include "DuskFerryAgent/input/WindowRaiser.h"
#include "platform/DispatchQueue.h"
#include "platform/InputEvents.h"
#include "protocol/ControlMessage.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace df {

class InputInjector : public std::enable_shared_from_this<InputInjector> {
public:
    struct Services {
        std::shared_ptr<InputEvents> events;
        /// Window list and raising; null: clicks raise nothing.
        std::shared_ptr<WindowServices> windows;
        /// Display choices. The agent hands in its DisplayTarget with the host's answers kept
        /// for displayCacheAge; null: no display is known (the pointer maps to 1920 × 1080).
        std::shared_ptr<TargetDisplays> displays;
        /// Tests pass manual queues; null: serial queues "duskferry.input.ax" and
        /// "duskferry.input.momentum".
        std::shared_ptr<DispatchQueue> axQueue;
        std::shared_ptr<DispatchQueue> momentumQueue;
        /// Null: a serial queue "duskferry.input.typing" of the injector's own, which the
        /// injector lets finish its work (the release after close) before it goes.
        std::shared_ptr<DispatchQueue> typingQueue;
        /// The host chord that Mission Control or App Exposé presses (the agent hands in its
        /// settings, read at each gesture); null: defaultGestureChord for both.
        std::function<std::string(SystemGesture)> gestureChord;
    };

    /// A position normalised to the target display, each coordinate in 0..1.
    struct NormalizedPosition {
        double x = 0;
        double y = 0;
        bool operator==(const NormalizedPosition&) const = default;
    };

    /// Seconds for which the agent keeps the host's main display and display bounds
    /// (cachedTargetDisplays), so that a stream of pointer messages does not ask for each.
    static constexpr double displayCacheAge = 0.25;
    /// Seconds within which a further left click counts as the next click of a series.
    static constexpr double clickInterval = 0.4;
    /// A phased scroll gesture the phone never ends is ended this long after its last message.
    static constexpr double scrollWatchdogDelay = 0.7;
    /// The longest text one `text` message may type, in characters (Unicode scalars); a
    /// longer one is refused whole rather than typed in part (half of a pasted command
    /// could run).
    static constexpr size_t maxTextLength = 4096;
    /// Characters (UTF-16 units) that may wait to be typed; text arriving beyond that is
    /// dropped, so a phone sending faster than this computer types cannot pile up work.
    static constexpr size_t maxPendingText = 16 * maxTextLength;
    /// The overview key of the common Linux desktops (GNOME's Activities, KDE's launcher).
    static constexpr const char* defaultGestureChord = "Super";

    static std::shared_ptr<InputInjector> create(std::shared_ptr<DispatchQueue> eventQueue,
                                                 Services services);
    /// close().
    ~InputInjector();

    /// The session is over: text not yet typed is dropped, the scroll watchdog and momentum
    /// stop, and every key and button the phone left pressed is released (behind a text
    /// being typed at that moment). Nothing is posted afterwards. Idempotent; eventQueue.
    void close();

    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    // Pointer and clicks.
    void handle(const PointerEvent& pointer);
    /// The cursor position normalised to the target display; absent when the cursor is
    /// elsewhere.
    std::optional<NormalizedPosition> currentNormalizedPosition();

    // Scroll and momentum.
    void handle(const ScrollEvent& scroll);
    void postScroll(double dx, double dy, std::optional<int64_t> phase);
    void armScrollWatchdog(bool active);
    void startMomentum(double vx, double vy);
    /// Synchronously on the momentum queue; never call it from that queue.
    void cancelMomentum();

    // Keys, text and gestures.
    void handle(const TextInput& text);
    void shortcut(uint16_t keyCode, KeyModifiers modifiers);
    /// The `key` message: one keyboard event with exactly the message's modifier flags.
    void handle(const KeyEvent& key);
    /// The `gesture` message, as this desktop does it: Show Desktop toggles the window
    /// manager's showing-the-desktop mode, the Space gestures switch to the desktop left or
    /// right of the current one (on "duskferry.input.ax"), and Mission Control and App
    /// Exposé press the chord of their setting.
    void handle(SystemGesture gesture);

    /// The injector's event source (null when the host refused one) and event services,
    /// for the session's own keyboard events.
    const InputEventSource* source() const { return source_.get(); }
    InputEvents& events() { return *events_; }

    // Observed state (read on eventQueue).
    bool leftButtonDown() const { return leftButtonDown_; }
    int64_t clickCount() const { return clickCount_; }
    std::optional<ScreenPoint> lastInjected() const { return lastInjected_; }
    double scrollResidualX() const { return scrollResidualX_; }
    double scrollResidualY() const { return scrollResidualY_; }
    bool scrollGestureActive() const { return scrollGestureActive_; }
    bool momentumRunning();
    /// Typing-queue tasks not yet finished (texts and the events waiting behind them).
    size_t typingPending() const;

private:
    // What the typing queue's tasks share with the injector; they hold it, the event
    // services and their own copies, never the injector itself.
    struct Typing {
        std::atomic<bool> closed{false};
        std::atomic<size_t> pendingTasks{0};
        std::atomic<size_t> pendingUnits{0};  ///< UTF-16 units of the texts waiting
    };

    InputInjector(std::shared_ptr<DispatchQueue> eventQueue, Services services);

    ScreenPoint resolvePosition(const PointerEvent& pointer, const DisplayBounds& rect);
    void postMouse(InputEvent::Type type, ScreenPoint at, MouseButton button, int64_t clickState);
    void scheduleRaise(ScreenPoint point, const DisplayBounds& rect);
    void postKeyPair(uint16_t keyCode, uint64_t flags);
    /// Posts now, or behind the text still waiting to be typed.
    void emit(InputEvent event);
    /// Runs `work` with the event services now, or behind the text still waiting.
    void emitWork(std::function<void(InputEvents&)> work);
    /// Runs `work` on the typing queue unless the injector closed first; `units` counts
    /// against maxPendingText until it ran.
    void enqueueTyping(std::function<void(InputEvents&)> work, size_t units);

    std::shared_ptr<InputEvents> events_;
    std::shared_ptr<WindowServices> windows_;
    std::function<std::string(SystemGesture)> gestureChord_;
    std::shared_ptr<TargetDisplays> displays_;
    std::shared_ptr<WindowRaiser> raiser_;

    // Fields in the order the design lists them.
    std::shared_ptr<InputEventSource> source_;
    std::shared_ptr<DispatchQueue> eventQueue_;
    std::shared_ptr<DispatchQueue> axQueue_;
    bool leftButtonDown_ = false;
    double lastClickTime_ = 0;
    int64_t clickCount_ = 1;
    std::optional<ScreenPoint> lastInjected_;
    double scrollResidualX_ = 0;
    double scrollResidualY_ = 0;
    WorkItemRef scrollPhaseWatchdog_;
    bool scrollGestureActive_ = false;
    std::shared_ptr<DispatchQueue> momentumQueue_;
    std::shared_ptr<ScrollMomentum> momentum_;  ///< holds the momentum timer
    std::shared_ptr<DispatchQueue> typingQueue_;
    bool ownsTypingQueue_ = false;
    std::shared_ptr<Typing> typing_;  ///< shared with the typing queue's tasks
    bool closed_ = false;
};

/// Host event flags for the phone's modifiers: command, option (alternate), control, shift.
/// Other bits are ignored.
uint64_t eventFlags(KeyModifiers modifiers);

/// Posts the screen-lock chord (Control+Command+Q, down and up) with a fresh event source;
/// the host maps it to its own session lock. Used for the lock on disconnect.
void postScreenLockChord(InputEvents& events);

}  // namespace df
