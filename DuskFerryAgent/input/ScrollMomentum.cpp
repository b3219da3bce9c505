#include "DuskFerryAgent/input/ScrollMomentum.h"

#include "DuskFerryAgent/input/ScrollMath.h"

#include <cmath>

namespace df {

ScrollMomentum::ScrollMomentum(std::shared_ptr<DispatchQueue> queue,
                               std::shared_ptr<InputEvents> events,
                               std::shared_ptr<InputEventSource> source)
    : queue_(std::move(queue)), events_(std::move(events)), source_(std::move(source)) {}

void ScrollMomentum::start(double vx, double vy) {
    vx = ScrollMath::clampFinite(vx, ScrollMath::maxVelocity);
    vy = ScrollMath::clampFinite(vy, ScrollMath::maxVelocity);
    if (std::hypot(vx, vy) <= ScrollMath::momentumStartSpeed) return;
    stopSilently();  // callers cancel first; never let two runs tick at once
    vx_ = vx;
    vy_ = vy;
    firstTick_ = true;
    // The tick holds this run weakly: a run outliving the injector does nothing.
    std::weak_ptr<ScrollMomentum> weak = weak_from_this();
    timer_ = queue_->repeating(ScrollMath::momentumInterval, [weak] {
        if (auto self = weak.lock()) self->tick();
    });
}

void ScrollMomentum::tick() {
    if (!timer_) return;
    auto step = ScrollMath::momentumStep(vx_, vy_);
    auto event = events_->createScrollWheelEvent(source_.get(), step.deltaY, step.deltaX);
    bool last = step.speed < ScrollMath::momentumStopSpeed;
    if (event) {
        event->momentumPhase = last ? MomentumPhase::end
                               : firstTick_ ? MomentumPhase::begin
                                            : MomentumPhase::continues;
        event->flags = EventFlags::none;
    }
    firstTick_ = false;
    if (event) events_->post(*event);
    if (last) {
        timer_->cancel();
        timer_.reset();
    }
}

void ScrollMomentum::cancel() {
    if (!timer_) return;
    timer_->cancel();
    timer_.reset();
    // Flags left as the source gives them: this ends coasting on behalf of whatever input
    // interrupted it.
    if (auto event = events_->createScrollWheelEvent(source_.get(), 0, 0)) {
        event->momentumPhase = MomentumPhase::end;
        events_->post(*event);
    }
}

void ScrollMomentum::stopSilently() {
    if (!timer_) return;
    timer_->cancel();
    timer_.reset();
}

}  // namespace df
