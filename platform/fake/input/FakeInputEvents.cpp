#include "platform/fake/input/FakeInputEvents.h"

namespace df::fake {

namespace {
class FakeSource final : public InputEventSource {};
}  // namespace

void FakeInputEvents::setSourceAvailable(bool available) {
    std::lock_guard lock(mutex_);
    sourceAvailable_ = available;
}

void FakeInputEvents::setRefuseCreation(std::function<bool(const InputEvent&)> refuse) {
    std::lock_guard lock(mutex_);
    refuse_ = std::move(refuse);
}

void FakeInputEvents::setCursorPosition(std::optional<ScreenPoint> position) {
    std::lock_guard lock(mutex_);
    cursor_ = position;
}

std::vector<InputEvent> FakeInputEvents::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

void FakeInputEvents::clearEvents() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

size_t FakeInputEvents::cursorQueries() const {
    std::lock_guard lock(mutex_);
    return cursorQueries_;
}

size_t FakeInputEvents::releaseHeldInputCalls() const {
    std::lock_guard lock(mutex_);
    return releaseHeldInputCalls_;
}

std::vector<std::string> FakeInputEvents::chords() const {
    std::lock_guard lock(mutex_);
    return chords_;
}

void FakeInputEvents::setChordsKnown(bool known) {
    std::lock_guard lock(mutex_);
    chordsKnown_ = known;
}

bool FakeInputEvents::pressKeyChord(const std::string& chord) {
    std::lock_guard lock(mutex_);
    chords_.push_back(chord);
    return chordsKnown_;
}

std::shared_ptr<InputEventSource> FakeInputEvents::createSource() {
    std::lock_guard lock(mutex_);
    if (!sourceAvailable_) return nullptr;
    return std::make_shared<FakeSource>();
}

std::optional<InputEvent> FakeInputEvents::made(InputEvent event) {
    std::lock_guard lock(mutex_);
    if (refuse_ && refuse_(event)) return std::nullopt;
    return event;
}

std::optional<InputEvent> FakeInputEvents::createMouseEvent(const InputEventSource* source,
                                                            InputEvent::Type type,
                                                            ScreenPoint location,
                                                            MouseButton button) {
    InputEvent event;
    event.type = type;
    event.hasSource = source != nullptr;
    event.location = location;
    event.button = button;
    return made(std::move(event));
}

std::optional<InputEvent> FakeInputEvents::createScrollWheelEvent(const InputEventSource* source,
                                                                  int32_t wheel1, int32_t wheel2) {
    InputEvent event;
    event.type = InputEvent::Type::scrollWheel;
    event.hasSource = source != nullptr;
    event.wheel1 = wheel1;
    event.wheel2 = wheel2;
    return made(std::move(event));
}

std::optional<InputEvent> FakeInputEvents::createKeyboardEvent(const InputEventSource* source,
                                                               uint16_t keyCode, bool isDown) {
    InputEvent event;
    event.type = isDown ? InputEvent::Type::keyDown : InputEvent::Type::keyUp;
    event.hasSource = source != nullptr;
    event.keyCode = keyCode;
    return made(std::move(event));
}

void FakeInputEvents::post(const InputEvent& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
    if (event.isMouse()) cursor_ = event.location;
}

std::optional<ScreenPoint> FakeInputEvents::cursorPosition() {
    std::lock_guard lock(mutex_);
    ++cursorQueries_;
    return cursor_;
}

void FakeInputEvents::releaseHeldInput() {
    std::lock_guard lock(mutex_);
    ++releaseHeldInputCalls_;
}

void FakeWindowServices::setWindows(std::vector<WindowInfo> windows) {
    std::lock_guard lock(mutex_);
    windows_ = std::move(windows);
}

void FakeWindowServices::setApplicationClass(int32_t pid, std::string applicationClass) {
    std::lock_guard lock(mutex_);
    classes_[pid] = std::move(applicationClass);
}

void FakeWindowServices::setFrontmostPID(std::optional<int32_t> pid) {
    std::lock_guard lock(mutex_);
    frontmost_ = pid;
}

void FakeWindowServices::setOwnPID(int32_t pid) {
    std::lock_guard lock(mutex_);
    ownPID_ = pid;
}

std::vector<uint64_t> FakeWindowServices::raised() const {
    std::lock_guard lock(mutex_);
    return raised_;
}

std::vector<int32_t> FakeWindowServices::activated() const {
    std::lock_guard lock(mutex_);
    return activated_;
}

size_t FakeWindowServices::windowListQueries() const {
    std::lock_guard lock(mutex_);
    return windowListQueries_;
}

std::vector<WindowInfo> FakeWindowServices::onScreenWindows() {
    std::lock_guard lock(mutex_);
    ++windowListQueries_;
    return windows_;
}

std::optional<std::string> FakeWindowServices::applicationClass(int32_t pid) {
    std::lock_guard lock(mutex_);
    auto it = classes_.find(pid);
    if (it == classes_.end()) return std::nullopt;
    return it->second;
}

std::optional<int32_t> FakeWindowServices::frontmostApplicationPID() {
    std::lock_guard lock(mutex_);
    return frontmost_;
}

int32_t FakeWindowServices::ownPID() {
    std::lock_guard lock(mutex_);
    return ownPID_;
}

std::optional<WindowAtPoint> FakeWindowServices::windowAt(ScreenPoint point) {
    std::lock_guard lock(mutex_);
    for (const auto& w : windows_) {
        if (w.bounds && boundsContain(*w.bounds, point)) return WindowAtPoint{w.windowID, w.kind, w.ownerPID};
    }
    return std::nullopt;
}

bool FakeWindowServices::raiseWindow(uint64_t window) {
    std::lock_guard lock(mutex_);
    raised_.push_back(window);
    return true;
}

bool FakeWindowServices::activateApplication(int32_t pid) {
    std::lock_guard lock(mutex_);
    activated_.push_back(pid);
    return true;
}

int FakeWindowServices::showingDesktopToggles() const {
    std::lock_guard lock(mutex_);
    return showingDesktopToggles_;
}

std::vector<int> FakeWindowServices::desktopSwitches() const {
    std::lock_guard lock(mutex_);
    return desktopSwitches_;
}

bool FakeWindowServices::toggleShowingDesktop() {
    std::lock_guard lock(mutex_);
    ++showingDesktopToggles_;
    return true;
}

bool FakeWindowServices::switchDesktop(int offset) {
    std::lock_guard lock(mutex_);
    desktopSwitches_.push_back(offset);
    return true;
}

}  // namespace df::fake
