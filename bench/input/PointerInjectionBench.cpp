// From a decoded pointer message to its events written to the X server, paced at 1000
// messages a second as a phone streams a drag. Reports p50 and p99 latency per message.
// Needs an X server with XTest ($DISPLAY; scripts/test-services.sh starts one).
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/input/InputInjector.h"
#include "platform/fake/queue/ManualQueue.h"
#include "platform/linux/displays/XRandRDisplays.h"
#include "platform/linux/input/XTestInputEvents.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

namespace df {
namespace {

// One display of the size of Xvfb's screen, answered without asking the server.
class FixedDisplays final : public TargetDisplays {
public:
    std::optional<uint32_t> virtualDisplayID() override { return std::nullopt; }
    std::optional<uint32_t> selectedDisplayID() override { return std::nullopt; }
    std::optional<uint32_t> systemMainID() override { return 1; }
    DisplayBounds bounds(uint32_t) override { return {0, 0, 1920, 1080}; }
};

enum class Mode { absolute, relative };
enum class Displays_ { fixed, xrandr, xrandrCached };

void run(benchmark::State& state, Mode mode, Displays_ which) {
    const bool realDisplays = which != Displays_::fixed;
    auto events = createXTestInputEvents();
    if (!events) {
        state.SkipWithError("no X display with XTest");
        return;
    }
    std::shared_ptr<TargetDisplays> displays;
    if (realDisplays) {
        auto randr = createXRandRDisplays();
        if (!randr) {
            state.SkipWithError("no XRandR");
            return;
        }
        displays = displayTargetDisplays(std::make_shared<DisplayTarget>(randr));
        if (which == Displays_::xrandrCached) displays = cachedTargetDisplays(displays, InputInjector::displayCacheAge);
    } else {
        displays = std::make_shared<FixedDisplays>();
    }
    // The injector's calls are made directly on this thread, standing in for the session
    // queue; the momentum and raising queues are idle for moves.
    auto queue = std::make_shared<fake::ManualQueue>("duskferry.server");
    auto injector = InputInjector::create(queue, {events, nullptr, displays, queue, queue});

    using clock = std::chrono::steady_clock;
    const auto period = std::chrono::microseconds(1000);
    std::vector<double> latencies;
    auto next = clock::now();
    int i = 0;
    for (auto _ : state) {
        next += period;
        std::this_thread::sleep_until(next);
        double phase = static_cast<double>(i++ % 400) / 400.0;
        PointerEvent message = mode == Mode::absolute
                                   ? PointerEvent(PointerEvent::Kind::move, 0, 0, 0.25 + 0.5 * phase, 0.5)
                                   : PointerEvent(PointerEvent::Kind::move, (i / 400) % 2 ? -2.0 : 2.0, 0.5);
        auto start = clock::now();
        injector->handle(message);
        auto end = clock::now();
        double seconds = std::chrono::duration<double>(end - start).count();
        latencies.push_back(seconds);
        state.SetIterationTime(seconds);
    }
    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) {
        return latencies[std::min(latencies.size() - 1, static_cast<size_t>(p * static_cast<double>(latencies.size())))];
    };
    state.counters["p50_us"] = pct(0.50) * 1e6;
    state.counters["p99_us"] = pct(0.99) * 1e6;
    state.counters["max_us"] = latencies.back() * 1e6;
}

void BM_PointerMove_Absolute(benchmark::State& s) { run(s, Mode::absolute, Displays_::fixed); }
void BM_PointerMove_Relative(benchmark::State& s) { run(s, Mode::relative, Displays_::fixed); }
void BM_PointerMove_Absolute_XRandRDisplays(benchmark::State& s) { run(s, Mode::absolute, Displays_::xrandr); }
void BM_PointerMove_Absolute_CachedXRandRDisplays(benchmark::State& s) {
    run(s, Mode::absolute, Displays_::xrandrCached);
}

BENCHMARK(BM_PointerMove_Absolute)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PointerMove_Relative)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PointerMove_Absolute_XRandRDisplays)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PointerMove_Absolute_CachedXRandRDisplays)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace df

BENCHMARK_MAIN();
