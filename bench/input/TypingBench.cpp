// A phone types one long text in another script (every character needs a keymap change):
// how long the session queue is busy handing it over, how long the cursor position that
// answers a heartbeat waits meanwhile (queried every 10 ms while the text is typed), and
// how long typing takes. Needs an X server with XTest ($DISPLAY). Give it a display of its
// own: every keymap change makes a window manager such as openbox reload its keyboard, and
// it can take minutes to catch up with thousands of them.
#include "DuskFerryAgent/input/InputInjector.h"
#include "platform/SerialQueue.h"
#include "platform/linux/input/XTestInputEvents.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace df {
namespace {

class FixedDisplays final : public TargetDisplays {
public:
    std::optional<uint32_t> virtualDisplayID() override { return std::nullopt; }
    std::optional<uint32_t> selectedDisplayID() override { return std::nullopt; }
    std::optional<uint32_t> systemMainID() override { return 1; }
    DisplayBounds bounds(uint32_t) override { return {0, 0, 1920, 1080}; }
};

// `n` CJK ideographs (none is on a Latin keymap), as UTF-8.
std::string ideographs(size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        char32_t cp = 0x4E00 + static_cast<char32_t>(i % 2000);
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

void BM_HeartbeatWhileTypingALongText(benchmark::State& state) {
    auto events = createXTestInputEvents();
    if (!events) {
        state.SkipWithError("no X display with XTest");
        return;
    }
    const size_t length = static_cast<size_t>(state.range(0));
    const std::string text = ideographs(length);
    auto session = SerialQueue::create("duskferry.server");
    auto typing = SerialQueue::create("duskferry.input.typing");
    InputInjector::Services services{events, nullptr, std::make_shared<FixedDisplays>(), nullptr, nullptr, typing};
    std::shared_ptr<InputInjector> injector;
    session->sync([&] { injector = InputInjector::create(session, services); });

    using clock = std::chrono::steady_clock;
    std::vector<double> waits;
    double handOver = 0, typingSeconds = 0;
    for (auto _ : state) {
        auto start = clock::now();
        session->sync([&] { injector->handle(TextInput(text, KeyModifiers())); });
        handOver = std::chrono::duration<double>(clock::now() - start).count();
        // Heartbeats keep coming while the text is typed: each reads the cursor position on
        // the session queue.
        while (true) {
            size_t pending = 0;
            auto asked = clock::now();
            session->sync([&] {
                (void)injector->currentNormalizedPosition();
                pending = injector->typingPending();
            });
            waits.push_back(std::chrono::duration<double>(clock::now() - asked).count());
            if (pending == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        typingSeconds = std::chrono::duration<double>(clock::now() - start).count();
        state.SetIterationTime(typingSeconds);
    }
    std::sort(waits.begin(), waits.end());
    state.counters["handover_ms"] = handOver * 1e3;
    state.counters["typing_s"] = typingSeconds;
    state.counters["heartbeat_p50_ms"] = waits[waits.size() / 2] * 1e3;
    state.counters["heartbeat_max_ms"] = waits.back() * 1e3;
    session->sync([&] { injector.reset(); });
    session->shutdown();
    typing->shutdown();
}

BENCHMARK(BM_HeartbeatWhileTypingALongText)
    ->Arg(512)
    ->Arg(static_cast<int64_t>(InputInjector::maxTextLength))
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace df

BENCHMARK_MAIN();
