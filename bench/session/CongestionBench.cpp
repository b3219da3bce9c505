// The adaptive stream through a real bottleneck: the agent program runs in a network
// namespace of its own, joined to this one by a veth pair; the reference client of this
// process receives its stream over TCP media through the pair. An X client keeps a private
// Xvfb in full motion. After a clear start, a token bucket (tc tbf) limits the agent's
// side of the pair; later the limit is lifted.
//
// Every received frame's delay is its arrival on this machine's CLOCK_MONOTONIC minus its
// presentation time (the agent's capture time on the same clock), so queueing in the
// bottleneck shows directly. Printed: a line per second (frames, kbit/s, median and largest
// delay, the agent's status texts), then the time from the start of the limit to a stable
// stream (3 seconds in a row with at least 10 frames and a median delay under the larger of
// 150 ms and 1.5 times the clear start's plus 50 ms: on a loaded machine encoding alone can
// queue frames), the
// frames the phone got per second under the limit against the clear start, pictures that
// failed to decode, the times from the limit to the agent lowering its resolution tier and
// from the lift to it raising the tier again, and the time from the lift to the stream's
// bit rate back at 80 % of the clear start. Needs root (namespaces and tc).
//
//   bench_congestion [--rate 5mbit] [--clear S] [--limited S] [--lifted S] [--size WxH]
//                    [--mbps M] [--agent PATH] [--verbose]

#include "tests/support/AgentProcess.h"
#include "tests/support/NetworkNamespace.h"
#include "tests/support/PrivateXvfb.h"
#include "tests/support/ScreenMotion.h"
#include "platform/SerialQueue.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "tools/phone/IdentityStore.h"
#include "tools/phone/PhoneClient.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace df;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

double monotonic() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

using testsupport::NetworkNamespace;

struct Second {
    int frames = 0;
    int64_t bytes = 0;
    std::vector<double> delaysMs;
    std::vector<std::string> statuses;
};

/// The value after "key=" in a line, if any.
std::optional<std::string> value(const std::string& line, const std::string& key) {
    const size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return std::nullopt;
    const size_t start = at + key.size() + 2;
    return line.substr(start, line.find(' ', start) - start);
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::string rate = "5mbit";
    double clear = 10, limited = 40, lifted = 60, mbps = 20;
    testsupport::Size size{1280, 720};
    std::string agentBinary = DF_AGENT_BIN;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rate" && i + 1 < argc) rate = argv[++i];
        else if (arg == "--clear" && i + 1 < argc) clear = std::atof(argv[++i]);
        else if (arg == "--limited" && i + 1 < argc) limited = std::atof(argv[++i]);
        else if (arg == "--lifted" && i + 1 < argc) lifted = std::atof(argv[++i]);
        else if (arg == "--mbps" && i + 1 < argc) mbps = std::atof(argv[++i]);
        else if (arg == "--size" && i + 1 < argc) std::sscanf(argv[++i], "%dx%d", &size.width, &size.height);
        else if (arg == "--agent" && i + 1 < argc) agentBinary = argv[++i];
        else if (arg == "--verbose") verbose = true;
        else {
            std::cerr << "usage: bench_congestion [--rate 5mbit] [--clear S] [--limited S] [--lifted S] [--size WxH]\n"
                         "                        [--mbps M] [--agent PATH] [--verbose]\n";
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (::geteuid() != 0) {
        std::cerr << "bench_congestion: needs root for network namespaces and tc\n";
        return 2;
    }
    testsupport::Xvfb xvfb(size);
    if (xvfb.name().empty()) {
        std::cerr << "bench_congestion: Xvfb did not start\n";
        return 1;
    }
    NetworkNamespace ns(verbose);
    if (!ns.ok()) {
        std::cerr << "bench_congestion: cannot set up the namespace and veth pair\n";
        return 1;
    }
    char pattern[] = "/tmp/df-bench-congestion-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const fs::path home = pattern;

    std::mutex mutex;
    const double start = monotonic();
    std::map<int, Second> seconds;  // by whole seconds since start
    auto secondOf = [&](double t) -> Second& { return seconds[static_cast<int>(t - start)]; };

    int status = 0;
    {
        const uint16_t port = 52525;  // the namespace is the agent's alone
        testsupport::AgentProcess agent(agentBinary, {"ip", "netns", "exec", ns.name()}, home, port, 52526, verbose,
                                  xvfb.name(), [&](const std::string& line) {
                                      std::lock_guard lock(mutex);
                                      secondOf(monotonic()).statuses.push_back(line);
                                  });
        auto code = agent.waitForCode();
        for (int i = 0; i < 500 && code && !testsupport::tcpAccepts(port, ns.address().c_str()); ++i)
            std::this_thread::sleep_for(10ms);
        if (!code) {
            std::cerr << "bench_congestion: the agent printed no pairing code\n";
            return 1;
        }
        phone::IdentityStore store(home / "phone");
        auto identity = store.loadOrCreate("Bench Phone");
        if (!identity) return 1;

        phone::PhoneOptions options;
        options.agent = {ns.address(), port};
        options.code = *code;
        options.quality = QualityRequest(60, mbps, std::max(size.width, size.height), true);
        options.media = phone::MediaMode::tcp;
        options.trace = true;  // a line per frame with its presentation time
        options.stats = true;
        options.hasScript = true;
        auto queue = SerialQueue::create("duskferry.phone");
        std::string totals;
        std::atomic<bool> ended = false;
        agent.approveNext();
        auto client = phone::PhoneClient::create(
            options, *identity, store, queue, makeLinuxTransportFactory(),
            [&](const std::string& line) {
                const double now = monotonic();
                if (line.starts_with("total ")) {
                    std::lock_guard lock(mutex);
                    totals = line;
                }
                if (line.find(" videoFrame ") == std::string::npos) return;
                const auto pts = value(line, "pts");
                const auto bytes = value(line, "bytes");
                if (!pts || !bytes) return;
                std::lock_guard lock(mutex);
                Second& s = secondOf(now);
                ++s.frames;
                s.bytes += std::stoll(*bytes);
                s.delaysMs.push_back((now - std::stod(*pts)) * 1000.0);
            },
            [](const std::string& line) { std::cerr << "phone: " << line << "\n"; },
            [&](phone::ExitStatus, const std::string&) { ended = true; });
        client->start();

        // Full motion for the whole run.
        testsupport::ScreenMotion motion(xvfb.name(), size);

        auto sleepFor = [&](double s) {
            const double until = monotonic() + s;
            while (!ended && monotonic() < until) std::this_thread::sleep_for(100ms);
        };
        sleepFor(clear);
        const double limitedAt = monotonic();
        if (!ns.limit(rate)) {
            std::cerr << "bench_congestion: tc tbf failed\n";
            status = 1;
        }
        sleepFor(limited);
        const double liftedAt = monotonic();
        ns.lift();
        sleepFor(lifted);
        const double endAt = monotonic();
        motion.stop();
        client->stop();
        for (int i = 0; i < 50 && !ended; ++i) std::this_thread::sleep_for(100ms);
        queue->stop();

        std::lock_guard lock(mutex);
        const int limitedSecond = static_cast<int>(limitedAt - start);
        const int liftedSecond = static_cast<int>(liftedAt - start);
        const int lastSecond = static_cast<int>(endAt - start);
        std::printf("agent in namespace %s, %dx%d, 60 fps, %.0f Mbit/s asked, adaptive, TCP media; limit %s "
                    "from t=%d s to t=%d s\n",
                    ns.name().c_str(), size.width, size.height, mbps, rate.c_str(), limitedSecond, liftedSecond);
        std::printf("%5s %7s %8s %12s %12s  %s\n", "t", "frames", "kbit/s", "delay_p50ms", "delay_maxms", "agent status");
        for (int t = 0; t <= lastSecond; ++t) {
            const Second& s = seconds[t];
            const double maxDelay = s.delaysMs.empty() ? 0 : *std::max_element(s.delaysMs.begin(), s.delaysMs.end());
            std::string texts;
            for (const auto& text : s.statuses) texts += (texts.empty() ? "" : " | ") + text;
            std::printf("%5d %7d %8.0f %12.1f %12.1f  %s\n", t, s.frames, static_cast<double>(s.bytes) * 8 / 1000,
                        median(s.delaysMs), maxDelay, texts.c_str());
        }
        auto averageOver = [&](int from, int to, auto what) {
            double sum = 0;
            int n = 0;
            for (int t = from; t < to; ++t, ++n) sum += what(seconds[t]);
            return n > 0 ? sum / n : 0.0;
        };
        const double clearFps = averageOver(2, limitedSecond, [](const Second& s) { return double(s.frames); });
        const double clearKbps =
            averageOver(2, limitedSecond, [](const Second& s) { return static_cast<double>(s.bytes) * 8 / 1000; });
        std::vector<double> clearDelays;
        for (int t = 2; t < limitedSecond; ++t)
            clearDelays.insert(clearDelays.end(), seconds[t].delaysMs.begin(), seconds[t].delaysMs.end());
        const double clearDelay = median(clearDelays);
        const double stableDelay = std::max(150.0, 1.5 * clearDelay + 50);
        std::optional<int> stableAt;
        for (int t = limitedSecond + 1; t + 2 < liftedSecond && !stableAt; ++t) {
            bool stable = true;
            for (int k = t; k < t + 3; ++k)
                stable = stable && seconds[k].frames >= 10 && median(seconds[k].delaysMs) < stableDelay;
            if (stable) stableAt = t;
        }
        const double limitedFps =
            averageOver(stableAt.value_or(liftedSecond), liftedSecond, [](const Second& s) { return double(s.frames); });
        std::optional<int> backAt;
        for (int t = liftedSecond + 1; t + 2 <= lastSecond && !backAt; ++t) {
            bool back = true;
            for (int k = t; k < t + 3; ++k) back = back && static_cast<double>(seconds[k].bytes) * 8 / 1000 >= 0.8 * clearKbps;
            if (back) backAt = t;
        }
        std::printf("clear start: %.1f frames/s, %.0f kbit/s, median delay %.1f ms (stable: 3 s in a row with at "
                    "least 10 frames and a median delay under %.0f ms)\n",
                    clearFps, clearKbps, clearDelay, stableDelay);
        if (stableAt)
            std::printf("limit to stable stream: %d s (then %.1f frames/s received, %.0f %% of the clear start)\n",
                        stableAt.value() - limitedSecond, limitedFps, clearFps > 0 ? 100 * limitedFps / clearFps : 0.0);
        else
            std::printf("limit to stable stream: not stable within the limited period\n");
        if (backAt) std::printf("lift to 80 %% of the clear bit rate: %d s\n", backAt.value() - liftedSecond);
        else std::printf("lift to 80 %% of the clear bit rate: not within %.0f s\n", lifted);
        auto firstStatus = [&](const std::string& text, int from, int to) -> std::optional<int> {
            for (int t = from; t <= to; ++t)
                for (const auto& line : seconds[t].statuses)
                    if (line.find(text) != std::string::npos) return t;
            return std::nullopt;
        };
        const auto lowered = firstStatus("Network congested", limitedSecond, liftedSecond);
        const auto raised = firstStatus("Network recovered", liftedSecond, lastSecond);
        std::printf("limit to lower resolution tier: %s\n",
                    lowered ? (std::to_string(*lowered - limitedSecond) + " s").c_str() : "not within the limit");
        std::printf("lift to raised resolution tier: %s\n",
                    raised ? (std::to_string(*raised - liftedSecond) + " s").c_str() : "not within the run");
        std::printf("phone totals: %s\n", totals.c_str());
    }
    std::error_code ec;
    fs::remove_all(home, ec);
    return status;
}
