#pragma once
// The coasting that follows a scroll fling: every 16 ms a wheel event whose delta decays by
// 0.95 per tick, marked with the momentum phases begin, continue and end, until the speed
// drops below 20 pixels a second.
//
// Lives on "duskferry.input.momentum": start(), cancel() and the ticks run there only (the
// injector reaches it with a synchronous call), so the run's state needs no lock.

#include "platform/DispatchQueue.h"
#include "platform/InputEvents.h"

#include <memory>

namespace df {

class ScrollMomentum : public std::enable_shared_from_this<ScrollMomentum> {
public:
    ScrollMomentum(std::shared_ptr<DispatchQueue> queue, std::shared_ptr<InputEvents> events,
                   std::shared_ptr<InputEventSource> source);

    /// Starts a run when the fling (pixels a second) is faster than 80; the caller has
    /// cancelled any earlier run. On the momentum queue.
    void start(double vx, double vy);
    /// Stops a running run and posts one zero-delta event with momentum phase end; does
    /// nothing when none runs. On the momentum queue.
    void cancel();
    /// Stops a running run without posting anything (the injector is going away).
    void stopSilently();
    bool running() const { return timer_ != nullptr; }

private:
    void tick();

    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<InputEvents> events_;
    std::shared_ptr<InputEventSource> source_;
    WorkItemRef timer_;  ///< the running run's repeating timer, or null
    double vx_ = 0;
    double vy_ = 0;
    bool firstTick_ = true;
};

}  // namespace df
