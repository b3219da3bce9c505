// InputInjector: creation, lifetime, and the pointer side (positions, clicks, raising).
#include "DuskFerryAgent/input/InputInjector.h"

#include "platform/SerialQueue.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace df {

namespace {

// Coordinates far outside any screen still have to be numbers the host can take.
constexpr double kCoordinateLimit = 1e9;

double finiteCoordinate(double v, double fallback) {
    if (std::isnan(v)) return fallback;
    return std::clamp(v, -kCoordinateLimit, kCoordinateLimit);
}

double finiteDelta(double v) { return std::isnan(v) ? 0.0 : v; }

// No display known: no choices and no bounds, so targetRect() gives its fallback.
class NoTargetDisplays final : public TargetDisplays {
public:
    std::optional<uint32_t> virtualDisplayID() override { return std::nullopt; }
    std::optional<uint32_t> selectedDisplayID() override { return std::nullopt; }
    std::optional<uint32_t> systemMainID() override { return std::nullopt; }
    DisplayBounds bounds(uint32_t) override { return {}; }
};

std::shared_ptr<TargetDisplays> noTargetDisplays() { return std::make_shared<NoTargetDisplays>(); }
}  // namespace


std::shared_ptr<InputInjector> InputInjector::create(std::shared_ptr<DispatchQueue> eventQueue,
                                                     Services services) {
    return std::shared_ptr<InputInjector>(new InputInjector(std::move(eventQueue), std::move(services)));
}

InputInjector::InputInjector(std::shared_ptr<DispatchQueue> eventQueue, Services services)
    : events_(std::move(services.events)),
      windows_(services.windows),
      gestureChord_(std::move(services.gestureChord)),
      displays_(services.displays ? std::move(services.displays) : noTargetDisplays()),
      source_(events_->createSource()),
      eventQueue_(std::move(eventQueue)),
      axQueue_(services.axQueue ? std::move(services.axQueue)
                                : SerialQueue::create("duskferry.input.ax")),
      momentumQueue_(services.momentumQueue ? std::move(services.momentumQueue)
                                            : SerialQueue::create("duskferry.input.momentum")),
      typingQueue_(services.typingQueue ? services.typingQueue : SerialQueue::create("duskferry.input.typing")),
      ownsTypingQueue_(!services.typingQueue),
      typing_(std::make_shared<Typing>()) {
    if (services.windows) raiser_ = std::make_shared<WindowRaiser>(std::move(services.windows), displays_);
    momentum_ = std::make_shared<ScrollMomentum>(momentumQueue_, events_, source_);
}

InputInjector::~InputInjector() {
    close();
    // The injector's own typing queue goes with it: let the release that close() may have
    // queued there run first.
    if (ownsTypingQueue_) typingQueue_->sync([] {});
}

void InputInjector::close() {
    if (closed_) return;
    closed_ = true;
    typing_->closed = true;  // texts still waiting are not typed
    if (scrollPhaseWatchdog_) {
        scrollPhaseWatchdog_->cancel();
        scrollPhaseWatchdog_.reset();
    }
    scrollGestureActive_ = false;
    auto stop = [m = momentum_] { m->stopSilently(); };
    if (momentumQueue_->isCurrent()) {
        stop();
    } else {
        momentumQueue_->sync(stop);
    }
    // A phone that goes away in the middle of a drag or with a key held must not leave the
    // button or key pressed on this computer. A text being typed right now finishes first:
    // it may press keys of its own, and the release has to come after them.
    if (typing_->pendingTasks.load() == 0) {
        events_->releaseHeldInput();
        return;
    }
    typing_->pendingTasks.fetch_add(1);
    typingQueue_->post([events = events_, typing = typing_] {
        events->releaseHeldInput();
        typing->pendingTasks.fetch_sub(1);
    });
}

size_t InputInjector::typingPending() const { return typing_->pendingTasks.load(); }

void InputInjector::enqueueTyping(std::function<void(InputEvents&)> work, size_t units) {
    typing_->pendingTasks.fetch_add(1);
    typing_->pendingUnits.fetch_add(units);
    typingQueue_->post([events = events_, typing = typing_, work = std::move(work), units] {
        if (!typing->closed.load()) work(*events);
        typing->pendingUnits.fetch_sub(units);
        typing->pendingTasks.fetch_sub(1);
    });
}

void InputInjector::emit(InputEvent event) {
    if (closed_) return;
    // Only this queue adds typing work, so once the count reads zero every text handed over
    // before has been typed and this event cannot overtake it.
    if (typing_->pendingTasks.load() == 0) {
        events_->post(event);
        return;
    }
    enqueueTyping([event = std::move(event)](InputEvents& events) { events.post(event); }, 0);
}

void InputInjector::emitWork(std::function<void(InputEvents&)> work) {
    if (closed_) return;
    if (typing_->pendingTasks.load() == 0) {
        work(*events_);
        return;
    }
    enqueueTyping(std::move(work), 0);
}

// ---------------------------------------------------------------------------------------
// Pointer

void InputInjector::handle(const PointerEvent& pointer) {
    using Kind = PointerEvent::Kind;
    if (closed_) return;
    if (pointer.kind != Kind::move) cancelMomentum();

    const DisplayBounds rect = targetRect(*displays_);
    const ScreenPoint at = resolvePosition(pointer, rect);
    lastInjected_ = at;

    using T = InputEvent::Type;
    switch (pointer.kind) {
        case Kind::move:
            postMouse(leftButtonDown_ ? T::leftMouseDragged : T::mouseMoved, at, MouseButton::left, 1);
            break;
        case Kind::leftDown:
            leftButtonDown_ = true;
            postMouse(T::leftMouseDown, at, MouseButton::left, 1);
            break;
        case Kind::leftUp:
            leftButtonDown_ = false;
            postMouse(T::leftMouseUp, at, MouseButton::left, 1);
            break;
        case Kind::leftClick: {
            double t = eventQueue_->now();
            clickCount_ = (t - lastClickTime_ < clickInterval) ? clickCount_ + 1 : 1;
            lastClickTime_ = t;
            postMouse(T::mouseMoved, at, MouseButton::left, 1);
            postMouse(T::leftMouseDown, at, MouseButton::left, clickCount_);
            postMouse(T::leftMouseUp, at, MouseButton::left, clickCount_);
            scheduleRaise(at, rect);
            break;
        }
        case Kind::doubleClick:
            postMouse(T::mouseMoved, at, MouseButton::left, 1);
            postMouse(T::leftMouseDown, at, MouseButton::left, 1);
            postMouse(T::leftMouseUp, at, MouseButton::left, 1);
            postMouse(T::leftMouseDown, at, MouseButton::left, 2);
            postMouse(T::leftMouseUp, at, MouseButton::left, 2);
            break;
        case Kind::rightClick:
            postMouse(T::mouseMoved, at, MouseButton::left, 1);
            postMouse(T::rightMouseDown, at, MouseButton::right, 1);
            postMouse(T::rightMouseUp, at, MouseButton::right, 1);
            break;
    }
}

ScreenPoint InputInjector::resolvePosition(const PointerEvent& pointer, const DisplayBounds& rect) {
    if (pointer.absX && pointer.absY) {
        // Absolute: no clamping, values outside 0..1 address points beside the display.
        return {finiteCoordinate(rect.x + *pointer.absX * rect.width, rect.x),
                finiteCoordinate(rect.y + *pointer.absY * rect.height, rect.y)};
    }
    // Behind a text still being typed the pointer has not reached the last position yet:
    // continue from there, or successive moves would all start from the same stale point.
    ScreenPoint base = (typingPending() > 0 && lastInjected_)
                           ? *lastInjected_
                           : events_->cursorPosition().value_or(ScreenPoint{0, 0});
    if (!boundsContain(rect, base)) {
        base = lastInjected_.value_or(
            ScreenPoint{rect.x + rect.width / 2, rect.y + rect.height / 2});
    }
    // Lower bound first, then the upper one; relative motion stops one point inside.
    double x = std::max(base.x + finiteDelta(pointer.dx), rect.x);
    x = std::min(x, rect.x + rect.width - 1);
    double y = std::max(base.y + finiteDelta(pointer.dy), rect.y);
    y = std::min(y, rect.y + rect.height - 1);
    return {x, y};
}

void InputInjector::postMouse(InputEvent::Type type, ScreenPoint at, MouseButton button,
                              int64_t clickState) {
    auto event = events_->createMouseEvent(source_.get(), type, at, button);
    if (!event) return;  // refused by the host: skip this one, post the rest
    event->clickState = clickState;
    event->flags = EventFlags::none;
    emit(std::move(*event));
}

void InputInjector::scheduleRaise(ScreenPoint point, const DisplayBounds& rect) {
    if (!raiser_) return;
    // The task does not keep the injector alive and does nothing once it is gone; it works
    // on copies of the point and rectangle only.
    std::weak_ptr<InputInjector> weak = weak_from_this();
    axQueue_->post([weak, raiser = raiser_, point, rect] {
        if (weak.expired()) return;
        raiser->raiseWindowIfNeeded(point, rect);
    });
}

std::optional<InputInjector::NormalizedPosition> InputInjector::currentNormalizedPosition() {
    const DisplayBounds rect = targetRect(*displays_);
    ScreenPoint p = events_->cursorPosition().value_or(ScreenPoint{0, 0});
    if (!boundsContain(rect, p)) return std::nullopt;
    double w = rect.width <= 1 ? 1 : rect.width;
    double h = rect.height <= 1 ? 1 : rect.height;
    return NormalizedPosition{std::clamp((p.x - rect.x) / w, 0.0, 1.0),
                              std::clamp((p.y - rect.y) / h, 0.0, 1.0)};
}

}  // namespace df
