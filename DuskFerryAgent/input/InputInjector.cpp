// InputInjector: creation, lifetime, and the pointer side (positions, clicks, raising).
#include "DuskFerryAgent/input/InputInjector.h"

#include "platform/SerialQueue.h"

#include <algorithm>
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
      displays_(services.displays ? std::move(services.displays) : noTargetDisplays()),
      source_(events_->createSource()),
      eventQueue_(std::move(eventQueue)),
      axQueue_(services.axQueue ? std::move(services.axQueue)
                                : SerialQueue::create("duskferry.input.ax")),
      momentumQueue_(services.momentumQueue ? std::move(services.momentumQueue)
                                            : SerialQueue::create("duskferry.input.momentum")) {
    if (services.windows) raiser_ = std::make_shared<WindowRaiser>(std::move(services.windows), displays_);
    momentum_ = std::make_shared<ScrollMomentum>(momentumQueue_, events_, source_);
}

InputInjector::~InputInjector() {
    if (scrollPhaseWatchdog_) scrollPhaseWatchdog_->cancel();
    auto stop = [m = momentum_] { m->stopSilently(); };
    if (momentumQueue_->isCurrent()) {
        stop();
    } else {
        momentumQueue_->sync(stop);
    }
    // A phone that goes away in the middle of a drag or with a key held must not leave the
    // button or key pressed on this computer.
    events_->releaseHeldInput();
}

// ---------------------------------------------------------------------------------------
// Pointer

void InputInjector::handle(const PointerEvent& pointer) {
    using Kind = PointerEvent::Kind;
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
    ScreenPoint base = events_->cursorPosition().value_or(ScreenPoint{0, 0});
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
    events_->post(*event);
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
