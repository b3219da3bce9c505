// InputInjector: scrolling with fractional residuals, gesture phases with a watchdog, and
// the hand-over to momentum after a fling.
#include "DuskFerryAgent/input/InputInjector.h"

#include "DuskFerryAgent/input/ScrollMath.h"

namespace df {

void InputInjector::handle(const ScrollEvent& scroll) {
    if (closed_) return;
    cancelMomentum();
    if (!scroll.phase) {
        armScrollWatchdog(false);
        postScroll(scroll.dx, scroll.dy, std::nullopt);
        return;
    }
    switch (*scroll.phase) {
        case ScrollEvent::Phase::began:
            armScrollWatchdog(true);
            scrollGestureActive_ = true;
            postScroll(scroll.dx, scroll.dy, ScrollPhase::began);
            break;
        case ScrollEvent::Phase::changed: {
            // A gesture the watchdog already ended restarts as a new one.
            int64_t phase = scrollGestureActive_ ? ScrollPhase::changed : ScrollPhase::began;
            armScrollWatchdog(true);
            scrollGestureActive_ = true;
            postScroll(scroll.dx, scroll.dy, phase);
            break;
        }
        case ScrollEvent::Phase::ended:
            armScrollWatchdog(false);
            scrollGestureActive_ = false;
            // The message's own deltas are not posted: the fingers have left.
            postScroll(0, 0, ScrollPhase::ended);
            startMomentum(scroll.vx.value_or(0), scroll.vy.value_or(0));
            break;
    }
}

void InputInjector::postScroll(double dx, double dy, std::optional<int64_t> phase) {
    int32_t ix = ScrollMath::accumulate(scrollResidualX_, dx);
    int32_t iy = ScrollMath::accumulate(scrollResidualY_, dy);
    if (ix == 0 && iy == 0 && !phase) return;
    auto event = events_->createScrollWheelEvent(source_.get(), iy, ix);
    if (!event) return;
    event->scrollPhase = phase;
    event->flags = EventFlags::none;
    emit(std::move(*event));
}

void InputInjector::armScrollWatchdog(bool active) {
    if (scrollPhaseWatchdog_) {
        scrollPhaseWatchdog_->cancel();
        scrollPhaseWatchdog_.reset();
    }
    if (!active) return;
    std::weak_ptr<InputInjector> weak = weak_from_this();
    scrollPhaseWatchdog_ = eventQueue_->postAfter(scrollWatchdogDelay, [weak] {
        auto self = weak.lock();
        if (!self || !self->scrollGestureActive_) return;
        self->scrollGestureActive_ = false;
        self->postScroll(0, 0, ScrollPhase::ended);
    });
}

void InputInjector::startMomentum(double vx, double vy) {
    if (closed_) return;
    momentumQueue_->sync([m = momentum_, vx, vy] { m->start(vx, vy); });
}

void InputInjector::cancelMomentum() {
    momentumQueue_->sync([m = momentum_] { m->cancel(); });
}

bool InputInjector::momentumRunning() {
    bool running = false;
    momentumQueue_->sync([&] { running = momentum_->running(); });
    return running;
}

}  // namespace df
