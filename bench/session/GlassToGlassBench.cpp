// Glass to glass on loopback: the agent program (a child process, X11 capture and libx265)
// streams a private Xvfb of each measured size to the reference phone client of this
// process, which decodes every frame with libavcodec.
//
// Marked changes: an X client of this process fills a 64x64 square with a new colour and
// takes the time (CLOCK_MONOTONIC, before the drawing request); the phone takes the time at
// which the first decoded picture shows the new colour in the square. The next change comes
// a random 20 to 60 ms after the last one was seen, so that changes do not line up with the
// capture's rhythm. Both times are on this process's clock, so the figure is exact: from
// the request to draw to a decoded picture in the client's memory (display refresh of a real
// phone not included).
//
// Full motion: the X client then repaints large parts of the screen at 60 Hz for a few
// seconds; the streamed frame rate and the agent's CPU time (all its threads, from
// /proc/<pid>/stat) give the agent's CPU per streamed frame per second.
//
//   bench_glass_to_glass [--changes N] [--sizes 1920x1080,2560x1440,1280x720] [--fps 60]
//                        [--mbps 20] [--motion-seconds S] [--agent PATH] [--verbose]
//
// The phone asks for the screen's own long edge (no scaling) with adaptation off, so that
// the size and rate stay as asked for the whole run.

#include "tests/support/AgentProcess.h"
#include "tests/support/PrivateXvfb.h"
#include "platform/SerialQueue.h"
#include "platform/Transport.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "tools/phone/IdentityStore.h"
#include "tools/phone/PhoneClient.h"

#include <X11/Xlib.h>
#include <fcntl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace df;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

using testsupport::Size;
using testsupport::Xvfb;

/// What the phone's decoder shows, looked at on the phone's queue.
struct Watch {
    std::mutex mutex;
    std::condition_variable seen;
    int x = 0, y = 0;  ///< the pixel looked at
    std::optional<std::array<int, 3>> expected;
    Clock::time_point changedAt;
    std::optional<double> latencyMs;  ///< set when a picture shows `expected`
    int64_t pictures = 0;

    void picture(const phone::RgbImage& image) {
        const auto at = Clock::now();
        std::lock_guard lock(mutex);
        ++pictures;
        if (!expected || latencyMs || x >= image.width || y >= image.height) return;
        const uint8_t* p = &image.pixels[(static_cast<size_t>(y) * static_cast<size_t>(image.width) + static_cast<size_t>(x)) * 3];
        for (int c = 0; c < 3; ++c)
            if (std::abs(p[c] - (*expected)[static_cast<size_t>(c)]) > 40) return;
        latencyMs = std::chrono::duration<double, std::milli>(at - changedAt).count();
        seen.notify_all();
    }
};

struct Figures {
    Size size;
    std::vector<double> latencies;
    int missed = 0;
    double motionFps = 0;
    double motionCpuPercent = 0;
    std::string failure;
};

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

Figures measure(Size size, int changes, int fps, double mbps, double motionSeconds, const std::string& agentBinary,
               bool verbose) {
    Figures result;
    result.size = size;
    Xvfb xvfb(size);
    if (xvfb.name().empty()) {
        result.failure = "Xvfb did not start";
        return result;
    }
    char pattern[] = "/tmp/df-bench-g2g-XXXXXX";
    if (!::mkdtemp(pattern)) {
        result.failure = "no temporary directory";
        return result;
    }
    const fs::path home = pattern;
    struct RemoveOnExit {
        fs::path path;
        ~RemoveOnExit() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } removeHome{home};

    Display* display = XOpenDisplay(xvfb.name().c_str());
    if (!display) {
        result.failure = "cannot open " + xvfb.name();
        return result;
    }
    struct CloseOnExit {
        Display* display;
        ~CloseOnExit() { XCloseDisplay(display); }
    } closeDisplay{display};
    const Window root = DefaultRootWindow(display);
    GC gc = XCreateGC(display, root, 0, nullptr);
    XSetSubwindowMode(display, gc, IncludeInferiors);
    auto fill = [&](unsigned long rgb, int x, int y, int w, int h) {
        XSetForeground(display, gc, rgb);
        XFillRectangle(display, root, gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
    };
    fill(0x303030, 0, 0, size.width, size.height);
    XSync(display, False);

    const uint16_t port = testsupport::freePort(SOCK_STREAM);
    testsupport::AgentProcess agent(agentBinary, {}, home, port, testsupport::freePort(SOCK_DGRAM), verbose, xvfb.name());
    auto code = agent.waitForCode();
    for (int i = 0; i < 500 && code && !testsupport::tcpAccepts(port); ++i) std::this_thread::sleep_for(10ms);
    if (!code) {
        result.failure = "the agent printed no pairing code";
        return result;
    }
    phone::IdentityStore store(home / "phone");
    auto identity = store.loadOrCreate("Bench Phone");
    if (!identity) {
        result.failure = identity.error();
        return result;
    }

    auto watch = std::make_shared<Watch>();
    watch->x = size.width / 2;
    watch->y = size.height / 2;
    phone::PhoneOptions options;
    options.agent = {"127.0.0.1", port};
    options.code = *code;
    options.quality = QualityRequest(fps, mbps, std::max(size.width, size.height), false);
    options.hasScript = true;  // stays until told
    options.mediaOptions.onPicture = [watch](const phone::RgbImage& image) { watch->picture(image); };
    auto queue = SerialQueue::create("duskferry.phone");
    std::mutex endMutex;
    std::optional<std::string> ended;
    agent.approveNext();
    auto client = phone::PhoneClient::create(
        options, *identity, store, queue, makeLinuxTransportFactory(),
        [verbose](const std::string& line) {
            if (verbose) std::cerr << "phone: " << line << "\n";
        },
        [](const std::string& line) { std::cerr << "phone: " << line << "\n"; },
        [&](phone::ExitStatus, const std::string& message) {
            std::lock_guard lock(endMutex);
            ended = message;
        });
    client->start();
    auto stillRunning = [&] {
        std::lock_guard lock(endMutex);
        if (ended) result.failure = "the phone ended: " + *ended;
        return !ended;
    };
    for (int i = 0; i < 300; ++i) {
        {
            std::lock_guard lock(watch->mutex);
            if (watch->pictures > 0) break;
        }
        std::this_thread::sleep_for(100ms);
    }
    {
        std::lock_guard lock(watch->mutex);
        if (watch->pictures == 0) result.failure = "no picture within 30 s";
    }
    if (result.failure.empty() && stillRunning()) {
        std::this_thread::sleep_for(1s);  // the stream settles (first keyframe, refinement)

        // Marked changes: the square at the centre takes the next colour of a cycle.
        static constexpr std::array<unsigned long, 4> palette = {0xE02020, 0x20C040, 0x2040E0, 0xF0F0F0};
        std::mt19937 random(12345);
        std::uniform_int_distribution<int> gap(20, 60);
        const int warmUp = 5;
        for (int i = 0; i < changes + warmUp && stillRunning(); ++i) {
            const unsigned long rgb = palette[static_cast<size_t>(i) % palette.size()];
            {
                std::lock_guard lock(watch->mutex);
                watch->expected = std::array<int, 3>{static_cast<int>(rgb >> 16 & 0xFF),
                                                     static_cast<int>(rgb >> 8 & 0xFF), static_cast<int>(rgb & 0xFF)};
                watch->latencyMs.reset();
                watch->changedAt = Clock::now();
            }
            fill(rgb, watch->x - 32, watch->y - 32, 64, 64);
            XSync(display, False);
            std::unique_lock lock(watch->mutex);
            const bool seen = watch->seen.wait_for(lock, 1s, [&] { return watch->latencyMs.has_value(); });
            if (i >= warmUp) {
                if (seen) result.latencies.push_back(*watch->latencyMs);
                else ++result.missed;
            }
            watch->expected.reset();
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
        }

        // Full motion: a quarter of the screen in new colours every 1/60 s.
        if (stillRunning() && motionSeconds > 0) {
            std::uniform_int_distribution<int> colour(0, 0xFFFFFF);
            const int w = size.width / 2, h = size.height / 2;
            std::uniform_int_distribution<int> px(0, size.width - w), py(0, size.height - h);
            int64_t picturesBefore = 0;
            {
                std::lock_guard lock(watch->mutex);
                picturesBefore = watch->pictures;
            }
            const double cpuBefore = agent.cpuSeconds();
            const auto start = Clock::now();
            auto next = start;
            while (Clock::now() - start < std::chrono::duration<double>(motionSeconds)) {
                for (int r = 0; r < 4; ++r)
                    fill(static_cast<unsigned long>(colour(random)), px(random), py(random), w / 2, h / 2);
                XSync(display, False);
                next += std::chrono::microseconds(16667);
                std::this_thread::sleep_until(next);
            }
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            const double cpu = agent.cpuSeconds() - cpuBefore;
            std::this_thread::sleep_for(200ms);  // frames still on their way
            std::lock_guard lock(watch->mutex);
            result.motionFps = static_cast<double>(watch->pictures - picturesBefore) / seconds;
            result.motionCpuPercent = cpu / seconds * 100.0;
        }
    }
    client->stop();
    for (int i = 0; i < 100; ++i) {
        {
            std::lock_guard lock(endMutex);
            if (ended) break;
        }
        std::this_thread::sleep_for(50ms);
    }
    queue->stop();
    XFreeGC(display, gc);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    int changes = 200;
    int fps = 60;
    double mbps = 20;
    double motionSeconds = 5;
    std::vector<Size> sizes = {{1920, 1080}, {2560, 1440}, {1280, 720}};
    std::string agentBinary = DF_AGENT_BIN;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--changes" && i + 1 < argc) {
            changes = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--fps" && i + 1 < argc) {
            fps = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--mbps" && i + 1 < argc) {
            mbps = std::atof(argv[++i]);
        } else if (arg == "--motion-seconds" && i + 1 < argc) {
            motionSeconds = std::atof(argv[++i]);
        } else if (arg == "--sizes" && i + 1 < argc) {
            sizes.clear();
            std::istringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');) {
                Size s;
                if (std::sscanf(item.c_str(), "%dx%d", &s.width, &s.height) == 2 && s.width > 64 && s.height > 64)
                    sizes.push_back(s);
            }
        } else if (arg == "--agent" && i + 1 < argc) {
            agentBinary = argv[++i];
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            std::cerr << "usage: bench_glass_to_glass [--changes N] [--sizes WxH,...] [--fps N] [--mbps M]\n"
                         "                            [--motion-seconds S] [--agent PATH] [--verbose]\n";
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("glass to glass on loopback: agent program with X11 capture and libx265, %d fps, %.0f Mbit/s, "
                "adaptation off; %d marked changes per size; %u CPUs; load average at start %s\n",
                fps, mbps, changes, std::thread::hardware_concurrency(), loadAverage().c_str());
    std::printf("%-10s %7s %6s %8s %8s %8s %8s   %10s %10s %12s\n", "size", "changes", "missed", "p50_ms", "p95_ms",
                "mean_ms", "max_ms", "motion_fps", "agent_cpu%", "cpu%_per_fps");
    int status = 0;
    for (const Size& size : sizes) {
        const Figures r = measure(size, changes, fps, mbps, motionSeconds, agentBinary, verbose);
        const std::string name = std::to_string(size.width) + "x" + std::to_string(size.height);
        if (!r.failure.empty() || r.latencies.empty()) {
            std::printf("%-10s failed: %s\n", name.c_str(), r.failure.empty() ? "no change was seen" : r.failure.c_str());
            status = 1;
            continue;
        }
        const double mean = std::accumulate(r.latencies.begin(), r.latencies.end(), 0.0) /
                            static_cast<double>(r.latencies.size());
        std::printf("%-10s %7zu %6d %8.1f %8.1f %8.1f %8.1f   %10.1f %10.1f %12.2f\n", name.c_str(),
                    r.latencies.size(), r.missed, percentile(r.latencies, 0.5), percentile(r.latencies, 0.95), mean,
                    *std::max_element(r.latencies.begin(), r.latencies.end()), r.motionFps, r.motionCpuPercent,
                    r.motionFps > 0 ? r.motionCpuPercent / r.motionFps : 0.0);
        std::fflush(stdout);
    }
    std::printf("goal at 1920x1080: p50 <= 40 ms, p95 <= 60 ms; load average at end %s\n", loadAverage().c_str());
    return status;
}
