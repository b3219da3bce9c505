#pragma once
// What the connection benchmarks share: milliseconds since a start, a transport handshake
// timed to its end, and the percentiles of a list of times.

#include "platform/SerialQueue.h"
#include "platform/Transport.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <numeric>
#include <optional>
#include <vector>

namespace df::benchsupport {

using Clock = std::chrono::steady_clock;

inline double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// Starts `connection` on `queue` and waits up to `timeoutSeconds` for its handshake:
/// milliseconds from `start` to ready, nothing when it failed or the time ran out. The
/// connection is cancelled afterwards.
inline std::optional<double> timedHandshake(const std::shared_ptr<Connection>& connection,
                                            const std::shared_ptr<SerialQueue>& queue, Clock::time_point start,
                                            double timeoutSeconds) {
    auto done = std::make_shared<std::promise<std::optional<double>>>();
    auto future = done->get_future();
    auto reported = std::make_shared<bool>(false);
    connection->setStateHandler([done, reported, start](ConnectionState s, const std::optional<TransportError>&) {
        if (*reported) return;
        if (s == ConnectionState::ready) {
            *reported = true;
            done->set_value(millisecondsSince(start));
        } else if (s == ConnectionState::failed || s == ConnectionState::cancelled) {
            *reported = true;
            done->set_value(std::nullopt);
        }
    });
    connection->start(queue);
    std::optional<double> result;
    if (future.wait_for(std::chrono::duration<double>(timeoutSeconds)) == std::future_status::ready) {
        result = future.get();
    }
    queue->sync([connection] { connection->cancel(); });
    queue->sync([] {});  // the cancellation's own report
    return result;
}

struct Figures {
    double p50 = 0, p90 = 0, max = 0, mean = 0;
};

/// Percentiles of `v` (not empty).
inline Figures figuresOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))]; };
    return {at(0.5), at(0.9), v.back(), std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size())};
}

}  // namespace df::benchsupport
