// Figures of the agent's capture and encoding on a private Xvfb screen (2560×1440) with full-
// motion content (a scrolling gradient with text and a block of changing noise, redrawn 60
// times a second by a child X client), all in one run:
//  - frames per second at 1080p of the capture engine (X11 capture, libx265 on its own
//    thread), against ffmpeg's x11grab + libx265 (ultrafast, zerolatency) on the same screen
//    region for the same time, in alternating rounds;
//  - encode time p50 and p95 at 720p, 1080p and 1440p (captured pictures encoded one at a
//    time, submission to output);
//  - CPU of the process while a small area changes, and while the screen stands still after
//    its refinement (with the frames made);
//  - bit rate per 2-second window after the target goes 8 -> 2 -> 8 Mb/s, with keyframes.
// A plain program printing its figures: `bench_capture_vs_ffmpeg [seconds per round]`;
// `bench_capture_vs_ffmpeg SECONDS ours|small` runs only the capture engine's full-motion
// round or its small-change figure (for a profiler, or to compare two builds).

#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "platform/SerialQueue.h"
#include "platform/linux/capture/X11ScreenCapture.h"
#include "platform/linux/compression/X265Compression.h"
#include "protocol/MediaPayloads.h"
#include "protocol/WireFrame.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace df;
using namespace std::chrono_literals;

constexpr int screenWidth = 2560, screenHeight = 1440;

double uptime() { return Clock::system().uptime(); }

std::string loadAverage() {
    std::string load;
    std::getline(std::ifstream("/proc/loadavg"), load);
    return load;
}

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// ---- The X server and the moving content (child processes, started before any thread) ----

pid_t startXvfb(std::string& display) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        setsid();
        std::string fd = std::to_string(fds[1]);
        std::string screen = std::to_string(screenWidth) + "x" + std::to_string(screenHeight) + "x24";
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "+extension", "RANDR",
               "-nolisten", "tcp", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) return -1;
    display = ":" + number;
    return pid;
}

// The animator: reads "W H\n" commands from `commands`; animates a W×H region at the
// screen's top left 60 times a second, "0 0" stands still. Content: a gradient and text rows
// with a period of 512 pixels scrolled by 8 pixels a frame, and a block of noise that shows
// one of 8 tiles per frame (never the one of the frame before).
[[noreturn]] void animate(const std::string& displayName, int commands) {
    Display* dpy = XOpenDisplay(displayName.c_str());
    if (!dpy) _exit(1);
    const int screen = DefaultScreen(dpy);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0;
    Window window = XCreateWindow(dpy, DefaultRootWindow(dpy), 0, 0, screenWidth, screenHeight, 0, CopyFromParent,
                                  InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(dpy, window);
    GC gc = XCreateGC(dpy, window, 0, nullptr);

    constexpr int period = 512;
    const int canvasWidth = screenWidth + period;
    std::vector<uint32_t> pixels(size_t(canvasWidth) * screenHeight);
    std::mt19937 random(7);
    std::vector<uint32_t> glyphs(size_t(period) * 12);
    for (auto& g : glyphs) g = random() % 3 == 0 ? 1 : 0;
    for (int y = 0; y < screenHeight; ++y)
        for (int x = 0; x < canvasWidth; ++x) {
            const int phase = x % period;
            const int tri = phase < period / 2 ? phase : period - phase;  // 0..256
            const uint32_t r = uint32_t(std::min(255, tri)), g = uint32_t((y * 255) / screenHeight),
                           b = uint32_t(255 - std::min(255, tri));
            uint32_t p = r << 16 | g << 8 | b;
            if ((y / 12) % 3 == 1 && glyphs[size_t(y % 12) * period + size_t(phase)]) p = 0x101010;
            pixels[size_t(y) * canvasWidth + size_t(x)] = p;
        }
    Pixmap canvas = XCreatePixmap(dpy, window, unsigned(canvasWidth), screenHeight, 24);
    XImage* image = XCreateImage(dpy, DefaultVisual(dpy, screen), 24, ZPixmap, 0, reinterpret_cast<char*>(pixels.data()),
                                 unsigned(canvasWidth), screenHeight, 32, canvasWidth * 4);
    XPutImage(dpy, canvas, gc, image, 0, 0, 0, 0, unsigned(canvasWidth), screenHeight);
    image->data = nullptr;
    XDestroyImage(image);
    constexpr int tileW = 320, tileH = 180, tiles = 8;
    std::vector<Pixmap> noise;
    std::vector<uint32_t> tile(size_t(tileW) * tileH);
    for (int t = 0; t < tiles; ++t) {
        for (auto& p : tile) p = random() & 0xffffff;
        Pixmap pixmap = XCreatePixmap(dpy, window, tileW, tileH, 24);
        XImage* ti = XCreateImage(dpy, DefaultVisual(dpy, screen), 24, ZPixmap, 0, reinterpret_cast<char*>(tile.data()),
                                  tileW, tileH, 32, tileW * 4);
        XPutImage(dpy, pixmap, gc, ti, 0, 0, 0, 0, tileW, tileH);
        ti->data = nullptr;
        XDestroyImage(ti);
        noise.push_back(pixmap);
    }
    XSync(dpy, False);

    int width = 0, height = 0;
    long frame = 0;
    auto next = std::chrono::steady_clock::now();
    std::string line;
    for (;;) {
        pollfd fd{commands, POLLIN, 0};
        if (poll(&fd, 1, width > 0 ? 0 : -1) > 0) {
            char c = 0;
            if (read(commands, &c, 1) != 1) _exit(0);
            if (c != '\n') {
                line += c;
                continue;
            }
            std::sscanf(line.c_str(), "%d %d", &width, &height);
            line.clear();
            next = std::chrono::steady_clock::now();
            continue;
        }
        if (width <= 0) continue;
        XCopyArea(dpy, canvas, window, gc, int(frame * 8 % period), 0, unsigned(width), unsigned(height), 0, 0);
        XCopyArea(dpy, noise[size_t(frame % tiles)], window, gc, 0, 0, unsigned(std::min(tileW, width / 4)),
                  unsigned(std::min(tileH, height / 4)), width / 8, height / 8);
        XSync(dpy, False);
        ++frame;
        next += std::chrono::microseconds(16667);
        const auto now = std::chrono::steady_clock::now();
        if (next < now) next = now;  // behind: draw again at once, do not catch up
        std::this_thread::sleep_until(next);
    }
}

class Animator {
public:
    explicit Animator(int fd) : fd_(fd) {}
    void region(int width, int height) {
        std::string command = std::to_string(width) + " " + std::to_string(height) + "\n";
        [[maybe_unused]] auto n = write(fd_, command.data(), command.size());
    }
    void still() { region(0, 0); }

private:
    int fd_;
};

// RandR monitors of the screen's top left, so that a stream grabs exactly that region.
void addMonitor(const std::string& displayName, const char* name, int width, int height) {
    Display* dpy = XOpenDisplay(displayName.c_str());
    if (!dpy) return;
    XRRMonitorInfo* m = XRRAllocateMonitor(dpy, 0);
    m->name = XInternAtom(dpy, name, False);
    m->x = 0;
    m->y = 0;
    m->width = width;
    m->height = height;
    m->mwidth = width / 4;
    m->mheight = height / 4;
    XRRSetMonitor(dpy, DefaultRootWindow(dpy), m);
    XRRFreeMonitors(m);
    XSync(dpy, False);
    XCloseDisplay(dpy);
}

// ---- What leaves the encoder ----

struct Sent {
    double arrival = 0;
    double pts = 0;
    size_t bytes = 0;
    bool keyframe = false;
};

class Outputs {
public:
    void add(const Bytes& wire, bool keyframe) {
        Sent sent;
        sent.arrival = uptime();
        sent.keyframe = keyframe;
        if (wire.size() > kWireHeaderSize)
            if (auto packet = VideoFramePacket::parse(std::span(wire).subspan(kWireHeaderSize))) {
                sent.pts = packet->pts;
                sent.bytes = packet->data.size();
            }
        std::lock_guard lock(mutex_);
        sent_.push_back(sent);
    }
    std::vector<Sent> all() {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    size_t arrivedBetween(double from, double to) {
        std::lock_guard lock(mutex_);
        return size_t(std::count_if(sent_.begin(), sent_.end(), [&](const Sent& s) { return s.arrival >= from && s.arrival < to; }));
    }

private:
    std::mutex mutex_;
    std::vector<Sent> sent_;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// Captured pictures of one monitor through one encoder, one at a time: each picture is
// stamped 1/rate s after the one before and its output awaited before the next is taken, so
// that the figures hold the same number of pictures however far a loaded machine lets the
// encoder fall behind the capture.
class Stepped {
public:
    Stepped(ScreenCapture& capture, std::shared_ptr<VideoCompression> compression, uint32_t displayID, int width,
            int height, int rate, double mbps)
        : rate_(rate) {
        encoder_ = VideoEncoder::create(std::move(compression), width, height, rate, mbps, false, [](const VideoConfig&) {},
                                        [outputs = outputs_](Bytes wire, bool key) { outputs->add(wire, key); });
        auto created = capture.createStream(
            displayID, CaptureEngine::makeStreamConfiguration(width, height, 60, false), queue_,
            [latest = latest_](const ScreenSample& sample) {
                if (sample.status != ScreenFrameStatus::complete || !sample.image) return;
                std::lock_guard lock(latest->mutex);
                latest->picture = sample.image;
                latest->arrived.notify_all();
            },
            [](const ScreenCaptureError&) {});
        stream_ = created.stream;
        if (stream_) stream_->start();
    }
    ~Stepped() {
        if (stream_) stream_->stop(nullptr);
        encoder_->invalidate();
    }

    /// Encodes the newest captured picture; milliseconds from submission to output.
    double encodeNext() {
        std::shared_ptr<const PixelBuffer> picture;
        {
            std::unique_lock lock(latest_->mutex);
            latest_->arrived.wait(lock, [&] { return latest_->picture != nullptr; });
            picture = std::exchange(latest_->picture, nullptr);
        }
        const size_t before = outputs_->all().size();
        const double submitted = uptime();
        encoder_->encode(std::move(picture), MediaTime{next_++, rate_});
        while (outputs_->all().size() <= before) std::this_thread::sleep_for(std::chrono::microseconds(200));
        return (uptime() - submitted) * 1000;
    }
    VideoEncoder& encoder() { return *encoder_; }
    std::vector<Sent> sent() { return outputs_->all(); }

private:
    struct Latest {
        std::mutex mutex;
        std::condition_variable arrived;
        std::shared_ptr<const PixelBuffer> picture;
    };
    const int rate_;
    int64_t next_ = 0;
    std::shared_ptr<Outputs> outputs_ = std::make_shared<Outputs>();
    std::shared_ptr<Latest> latest_ = std::make_shared<Latest>();
    std::shared_ptr<DispatchQueue> queue_ = SerialQueue::create("duskferry.capture");
    std::shared_ptr<VideoEncoder> encoder_;
    std::shared_ptr<ScreenCaptureStream> stream_;
};

struct Bench {
    std::string display;
    std::map<std::pair<int, int>, uint32_t> monitors;  // size -> display ID
    std::shared_ptr<ScreenCapture> capture;
    std::shared_ptr<VideoCompression> x265 = createX265Compression();
    Animator* animator = nullptr;
    double lastMbps = 0;  // of the last round of ours()

    struct Engine {
        std::shared_ptr<CaptureEngine> engine;
        std::shared_ptr<Outputs> outputs = std::make_shared<Outputs>();
    };

    Engine startEngine(int width, int height, int fps, double mbps) {
        Engine e;
        auto target = std::make_shared<DisplayTarget>(nullptr);
        target->setSelectedDisplayID(monitors.at({width, height}));
        CaptureEngine::Services services;
        services.capture = capture;
        services.compression = x265;
        services.displays = target;
        services.videoQueue = SerialQueue::create("duskferry.capture");
        CaptureEngine::Settings settings;
        settings.fps = fps;
        settings.bitrateMbps = mbps;
        settings.maxLongEdge = std::max(width, height);
        e.engine = CaptureEngine::create(services, settings, [](const VideoConfig&) {},
                                         [outputs = e.outputs](Bytes wire, bool key) { outputs->add(wire, key); });
        e.engine->start();
        return e;
    }

    // Frames per second of our capture + encode over `seconds`, and the process's CPU.
    std::pair<double, double> ours(double seconds) {
        animator->region(1920, 1080);
        Engine e = startEngine(1920, 1080, 60, 15);
        std::this_thread::sleep_for(2s);
        const double from = uptime(), cpu0 = cpuSeconds(RUSAGE_SELF);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double to = uptime(), cpu1 = cpuSeconds(RUSAGE_SELF);
        e.engine->stop();
        const size_t frames = e.outputs->arrivedBetween(from, to);
        double bits = 0;
        for (const auto& sent : e.outputs->all())
            if (sent.arrival >= from && sent.arrival < to) bits += double(sent.bytes) * 8;
        lastMbps = bits / (to - from) / 1e6;
        return {double(frames) / (to - from), (cpu1 - cpu0) / (to - from) * 100};
    }

    // A small area changing 60 times a second (as typing or a progress bar does) on the 1080p
    // display: frames per second and the process's CPU in % of one core.
    std::pair<double, double> smallChange(double seconds) {
        animator->region(240, 40);
        Engine e = startEngine(1920, 1080, 60, 15);
        std::this_thread::sleep_for(2s);
        const double from = uptime(), cpu0 = cpuSeconds(RUSAGE_SELF);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double to = uptime(), cpu1 = cpuSeconds(RUSAGE_SELF);
        e.engine->stop();
        return {double(e.outputs->arrivedBetween(from, to)) / (to - from), (cpu1 - cpu0) / (to - from) * 100};
    }

    // ffmpeg's frames per second over `seconds` (after 2 s of warm-up), from its progress
    // reports, and its CPU over its whole run.
    std::pair<double, double> ffmpeg(double seconds) {
        animator->region(1920, 1080);
        int out[2];
        if (pipe(out) != 0) return {0, 0};
        pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execlp("ffmpeg", "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-stats_period", "0.25",
                   "-progress", "pipe:1", "-f", "x11grab", "-framerate", "60", "-video_size", "1920x1080", "-i",
                   display.c_str(), "-c:v", "libx265", "-preset", "ultrafast", "-tune", "zerolatency",
                   "-x265-params", "log-level=error", "-f", "null", "-", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        const double started = uptime();
        std::vector<std::pair<double, long>> progress;  // (uptime, frames)
        std::string line;
        char c = 0;
        bool stopped = false;
        while (read(out[0], &c, 1) == 1) {
            if (c != '\n') {
                line += c;
                continue;
            }
            if (line.rfind("frame=", 0) == 0) progress.emplace_back(uptime(), std::atol(line.c_str() + 6));
            line.clear();
            if (!stopped && uptime() - started > seconds + 2.5) {
                kill(pid, SIGINT);
                stopped = true;
            }
        }
        close(out[0]);
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        // The first report at least 2 s in, and the last one.
        auto first = std::find_if(progress.begin(), progress.end(), [&](const auto& p) { return p.first - started >= 2; });
        if (first == progress.end() || progress.back().first <= first->first) return {0, 0};
        const auto& last = progress.back();
        return {double(last.second - first->second) / (last.first - first->first), cpu / (uptime() - started) * 100};
    }
};

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 8;
    std::printf("load average at start: %s\n", loadAverage().c_str());
    std::printf("cores: %u\n", std::thread::hardware_concurrency());

    Bench bench;
    pid_t xvfb = startXvfb(bench.display);
    if (xvfb < 0) {
        std::printf("could not start Xvfb\n");
        return 1;
    }
    int commands[2];
    if (pipe(commands) != 0) return 1;
    pid_t animatorPid = fork();
    if (animatorPid == 0) {
        close(commands[1]);
        animate(bench.display, commands[0]);
    }
    close(commands[0]);
    Animator animator(commands[1]);
    bench.animator = &animator;
    auto finish = [&](int code) {
        close(commands[1]);
        kill(animatorPid, SIGTERM);
        waitpid(animatorPid, nullptr, 0);
        kill(xvfb, SIGTERM);
        waitpid(xvfb, nullptr, 0);
        return code;
    };

    addMonitor(bench.display, "bench-720p", 1280, 720);
    addMonitor(bench.display, "bench-1080p", 1920, 1080);
    bench.capture = createX11ScreenCapture(bench.display);
    auto content = bench.capture->shareableContent();
    if (!content.content) {
        std::printf("no displays: %s\n", content.error ? content.error->message.c_str() : "");
        return finish(1);
    }
    for (const auto& d : content.content->displays) bench.monitors[{d.width, d.height}] = d.id;
    if (bench.monitors.size() < 3) {
        std::printf("the monitors were not added:");
        for (const auto& d : content.content->displays) std::printf(" %dx%d", d.width, d.height);
        std::printf("\n");
        return finish(1);
    }
    std::printf("Xvfb %s, %dx%d; moving content redrawn 60 times a second\n\n", bench.display.c_str(), screenWidth,
                screenHeight);

    if (argc > 2 && std::string(argv[2]) == "small") {
        auto [fps, cpu] = bench.smallChange(seconds);
        std::printf("small change: %.1f fps, CPU %.1f %%, %.2f ms CPU per frame\n", fps, cpu, fps > 0 ? cpu * 10 / fps : 0.0);
        return finish(0);
    }
    if (argc > 2 && std::string(argv[2]) == "ours") {
        auto [fps, cpu] = bench.ours(seconds);
        std::printf("capture engine %.1f fps, CPU %.0f %%\n", fps, cpu);
        return finish(0);
    }

    // 1. Full-motion 1080p frames per second, in alternating rounds.
    std::printf("full-motion 1080p, %.0f s per round (CPU in %% of one core):\n", seconds);
    double oursTotal = 0, ffmpegTotal = 0;
    constexpr int rounds = 2;
    for (int round = 0; round < rounds; ++round) {
        auto [fps, cpu] = bench.ours(seconds);
        std::printf("  round %d  capture engine  %5.1f fps  CPU %4.0f %%  %5.1f ms CPU per frame  %5.1f Mb/s  (load %s)\n",
                    round + 1, fps, cpu, fps > 0 ? cpu * 10 / fps : 0.0, bench.lastMbps, loadAverage().c_str());
        auto [ffps, fcpu] = bench.ffmpeg(seconds);
        std::printf("  round %d  ffmpeg x11grab  %5.1f fps  CPU %4.0f %%  %5.1f ms CPU per frame  (load %s)\n", round + 1,
                    ffps, fcpu, ffps > 0 ? fcpu * 10 / ffps : 0.0, loadAverage().c_str());
        oursTotal += fps;
        ffmpegTotal += ffps;
    }
    std::printf("  mean: capture engine %.1f fps, ffmpeg %.1f fps, ratio %.2f (goal >= 1.5)\n\n", oursTotal / rounds,
                ffmpegTotal / rounds, ffmpegTotal > 0 ? oursTotal / ffmpegTotal : 0.0);

    // 2. Encode time per frame at three sizes: captured pictures of the moving content, one at
    // a time (nothing queued), 15 Mb/s at 60 pictures a second.
    std::printf("encode time per picture (submission to output, one at a time), moving content:\n");
    struct Size {
        const char* name;
        int width, height;
    };
    for (Size size : {Size{"720p", 1280, 720}, Size{"1080p", 1920, 1080}, Size{"1440p", 2560, 1440}}) {
        animator.region(size.width, size.height);
        Stepped stepped(*bench.capture, bench.x265, bench.monitors.at({size.width, size.height}), size.width,
                        size.height, 60, 15);
        std::vector<double> ms;
        for (int i = 0; i < 45; ++i) {
            const double t = stepped.encodeNext();
            if (i >= 5) ms.push_back(t);  // the first pictures include the encoder's start
        }
        std::printf("  %-5s  p50 %6.1f ms  p95 %6.1f ms  (%zu pictures)  load %s\n", size.name, percentile(ms, 0.5),
                    percentile(ms, 0.95), ms.size(), loadAverage().c_str());
    }
    std::printf("\n");

    // 3. Bit rate per 2-second window of picture time across target changes, 1080p, with
    // update() as the session calls it.
    {
        animator.region(1920, 1080);
        constexpr int rate = 30;
        Stepped stepped(*bench.capture, bench.x265, bench.monitors.at({1920, 1080}), 1920, 1080, rate, 8);
        const int targets[] = {8, 2, 8};
        for (int n = 0; n < 3 * 4 * rate; ++n) {
            if (n % (4 * rate) == 0 && n > 0) stepped.encoder().update(targets[n / (4 * rate)]);
            stepped.encodeNext();
        }
        const auto sent = stepped.sent();
        const int periodic = rate * VideoEncoder::keyframeIntervalSeconds;
        std::printf("bit rate per 2 s window of picture time, 1080p moving content at %d pictures a second\n"
                    "(8 Mb/s, 2 Mb/s from 4 s, 8 Mb/s from 8 s; the keyframe interval is %d pictures):\n",
                    rate, periodic);
        for (int window = 1; window < 6; ++window) {
            const double target = targets[window / 2];
            double bits = 0;
            int keyframes = 0, periodicKeyframes = 0;
            for (size_t i = size_t(window * 2 * rate); i < size_t((window + 1) * 2 * rate) && i < sent.size(); ++i) {
                bits += double(sent[i].bytes) * 8;
                keyframes += sent[i].keyframe ? 1 : 0;
                periodicKeyframes += sent[i].keyframe && i % size_t(periodic) == 0 ? 1 : 0;
            }
            std::printf("  %4d-%2d s  %6.2f Mb/s  target %.0f  (%+5.1f %%)  keyframes %d (periodic %d)%s\n", window * 2,
                        window * 2 + 2, bits / 2e6, target, (bits / 2e6 - target) / target * 100, keyframes,
                        periodicKeyframes, window % 2 == 0 ? "  <- first window after the change" : "");
        }
        std::printf("\n");
    }

    // 4. A small change: what capturing and encoding cost when little of the screen changes.
    {
        auto [fps, cpu] = bench.smallChange(std::min(seconds, 5.0));
        std::printf("small change (240x40 redrawn 60 times a second), 1080p: %.1f fps, CPU %.1f %% of one core, "
                    "%.2f ms CPU per frame\n\n",
                    fps, cpu, fps > 0 ? cpu * 10 / fps : 0.0);
    }

    // 5. A still screen after its refinement.
    {
        animator.still();
        auto e = bench.startEngine(1920, 1080, 60, 15);
        // The first frame, the re-send and the refinement (0.4 s of picture time apart).
        for (int i = 0; i < 200; ++i) {
            const auto sent = e.outputs->all();
            if (sent.size() >= 3 && sent.back().keyframe && sent[sent.size() - 2].keyframe &&
                std::abs(sent.back().pts - sent[sent.size() - 2].pts - 0.4) < 0.002)
                break;
            std::this_thread::sleep_for(100ms);
        }
        std::this_thread::sleep_for(200ms);
        const double from = uptime(), cpu0 = cpuSeconds(RUSAGE_SELF);
        std::this_thread::sleep_for(5s);
        const double to = uptime(), cpu1 = cpuSeconds(RUSAGE_SELF);
        const size_t frames = e.outputs->arrivedBetween(from, to);
        e.engine->stop();
        std::printf("still screen after refinement, 1080p, over %.1f s: CPU %.2f %% of one core, %zu frames encoded "
                    "(%zu before)\n",
                    to - from, (cpu1 - cpu0) / (to - from) * 100, frames, e.outputs->arrivedBetween(0, from));
    }

    std::printf("\nload average at end: %s\n", loadAverage().c_str());
    return finish(0);
}
