#pragma once
// In-memory input-event services for unit tests: record every posted event with all its
// fields, answer the cursor position from the posted moves, and refuse event creation on
// request. Thread-safe: momentum ticks post from their own queue.

#include "platform/InputEvents.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace df::fake {

class FakeInputEvents final : public InputEvents {
public:
    /// Whether createSource() succeeds (default true).
    void setSourceAvailable(bool available);
    /// Creation of an event is refused while `refuse` answers true for it (the test sees
    /// the would-be event before it is returned).
    void setRefuseCreation(std::function<bool(const InputEvent&)> refuse);
    /// The cursor position reported; absent = unreadable. Posted mouse events move it.
    void setCursorPosition(std::optional<ScreenPoint> position);

    std::vector<InputEvent> events() const;
    /// Forgets the events recorded so far.
    void clearEvents();
    size_t cursorQueries() const;
    size_t releaseHeldInputCalls() const;
    /// The chords pressed, in order; pressKeyChord() answers `known` for each.
    std::vector<std::string> chords() const;
    void setChordsKnown(bool known);

    std::shared_ptr<InputEventSource> createSource() override;
    std::optional<InputEvent> createMouseEvent(const InputEventSource* source,
                                               InputEvent::Type type, ScreenPoint location,
                                               MouseButton button) override;
    std::optional<InputEvent> createScrollWheelEvent(const InputEventSource* source,
                                                     int32_t wheel1, int32_t wheel2) override;
    std::optional<InputEvent> createKeyboardEvent(const InputEventSource* source,
                                                  uint16_t keyCode, bool isDown) override;
    void post(const InputEvent& event) override;
    std::optional<ScreenPoint> cursorPosition() override;
    void releaseHeldInput() override;
    bool pressKeyChord(const std::string& chord) override;

private:
    std::optional<InputEvent> made(InputEvent event);

    mutable std::mutex mutex_;
    bool sourceAvailable_ = true;
    std::function<bool(const InputEvent&)> refuse_;
    std::optional<ScreenPoint> cursor_ = ScreenPoint{0, 0};
    std::vector<InputEvent> events_;
    size_t cursorQueries_ = 0;
    size_t releaseHeldInputCalls_ = 0;
    std::vector<std::string> chords_;
    bool chordsKnown_ = true;
};

/// Scriptable window list, recording raises and activations. The window at a point is the
/// first listed window containing it, whatever its kind.
class FakeWindowServices final : public WindowServices {
public:
    /// Front to back.
    void setWindows(std::vector<WindowInfo> windows);
    void setApplicationClass(int32_t pid, std::string applicationClass);
    void setFrontmostPID(std::optional<int32_t> pid);
    void setOwnPID(int32_t pid);

    std::vector<uint64_t> raised() const;
    std::vector<int32_t> activated() const;
    size_t windowListQueries() const;
    /// How often showing the desktop was toggled, and the desktop switches asked for.
    int showingDesktopToggles() const;
    std::vector<int> desktopSwitches() const;

    std::vector<WindowInfo> onScreenWindows() override;
    std::optional<std::string> applicationClass(int32_t pid) override;
    std::optional<int32_t> frontmostApplicationPID() override;
    int32_t ownPID() override;
    std::optional<WindowAtPoint> windowAt(ScreenPoint point) override;
    bool raiseWindow(uint64_t window) override;
    bool activateApplication(int32_t pid) override;
    bool toggleShowingDesktop() override;
    bool switchDesktop(int offset) override;

private:
    mutable std::mutex mutex_;
    std::vector<WindowInfo> windows_;
    std::map<int32_t, std::string> classes_;
    std::optional<int32_t> frontmost_;
    int32_t ownPID_ = 1;
    std::vector<uint64_t> raised_;
    std::vector<int32_t> activated_;
    size_t windowListQueries_ = 0;
    int showingDesktopToggles_ = 0;
    std::vector<int> desktopSwitches_;
};

}  // namespace df::fake
