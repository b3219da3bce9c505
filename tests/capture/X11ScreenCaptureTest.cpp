// The X11 screen capture on a real X server (Xvfb): a window painted with known colours,
// a stream of the display it covers. Skipped without DISPLAY, failed under CI=true.

#include "platform/SerialQueue.h"
#include "platform/linux/capture/X11ScreenCapture.h"
#include "tests/support/RequireService.h"

#include <X11/Xlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <X11/Xutil.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace df {
namespace testsupport {
/// Adds (or with width 0 removes) a RandR monitor without outputs on $DISPLAY.
bool setMonitor(const char* name, int x, int width);
}  // namespace testsupport
namespace {

using namespace std::chrono_literals;

// An override-redirect window over the whole screen that the test paints on.
class TestCard {
public:
    TestCard() {
        dpy_ = XOpenDisplay(nullptr);
        if (!dpy_) return;
        width = DisplayWidth(dpy_, DefaultScreen(dpy_));
        height = DisplayHeight(dpy_, DefaultScreen(dpy_));
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        window_ = XCreateWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, static_cast<unsigned>(width),
                                static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                CWOverrideRedirect, &attributes);
        gc_ = XCreateGC(dpy_, window_, 0, nullptr);
        XSelectInput(dpy_, window_, ExposureMask);
        XMapRaised(dpy_, window_);
        XEvent event;
        XWindowEvent(dpy_, window_, ExposureMask, &event);
    }
    ~TestCard() {
        if (!dpy_) return;
        XFreeGC(dpy_, gc_);
        XDestroyWindow(dpy_, window_);
        XCloseDisplay(dpy_);
    }
    bool ok() const { return dpy_ != nullptr; }
    /// `rgb` as 0xRRGGBB (a 24-bit TrueColor screen).
    void fill(unsigned long rgb, int x, int y, int w, int h) {
        XSetForeground(dpy_, gc_, rgb);
        XFillRectangle(dpy_, window_, gc_, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
        XSync(dpy_, False);
    }

    int width = 0;
    int height = 0;

private:
    Display* dpy_ = nullptr;
    ::Window window_ = 0;
    GC gc_ = nullptr;
};

// Keeps what the stream delivered; keeps only the pictures asked for, so that the stream's
// queue depth is not used up by the test.
class Recorder {
public:
    void record(const ScreenSample& sample) {
        std::lock_guard lock(mutex_);
        ScreenSample kept = sample;
        if (!keepPictures_) kept.image.reset();
        samples_.push_back(std::move(kept));
        changed_.notify_all();
    }
    /// Waits for a sample that `match` accepts among those after `from`; its index or -1.
    int waitFor(size_t from, const std::function<bool(const ScreenSample&)>& match,
                std::chrono::milliseconds timeout = 2000ms) {
        std::unique_lock lock(mutex_);
        int found = -1;
        changed_.wait_for(lock, timeout, [&] {
            for (size_t i = from; i < samples_.size(); ++i) {
                if (match(samples_[i])) {
                    found = static_cast<int>(i);
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    ScreenSample at(size_t i) {
        std::lock_guard lock(mutex_);
        return samples_.at(i);
    }
    size_t count() {
        std::lock_guard lock(mutex_);
        return samples_.size();
    }
    void keepPictures(bool keep) {
        std::lock_guard lock(mutex_);
        keepPictures_ = keep;
        if (!keep) {
            for (auto& s : samples_) s.image.reset();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ScreenSample> samples_;
    bool keepPictures_ = true;
};

bool isComplete(const ScreenSample& s) { return s.status == ScreenFrameStatus::complete && s.image; }
bool isIdle(const ScreenSample& s) { return s.status == ScreenFrameStatus::idle; }

int lumaAt(const PixelBuffer& p, int x, int y) {
    return p.planes[0].bytes[static_cast<size_t>(y) * p.planes[0].stride + static_cast<size_t>(x)];
}

TEST(X11ScreenCaptureTest, DeliversColoursChangesIdleAndNewConfigurations) {
    DF_REQUIRE_SERVICE(std::getenv("DISPLAY"), "an X display ($DISPLAY)");
    TestCard card;
    ASSERT_TRUE(card.ok());
    const int w = card.width, h = card.height;
    card.fill(0xff0000, 0, 0, w / 2, h);      // red left
    card.fill(0x0000ff, w / 2, 0, w - w / 2, h);  // blue right

    auto capture = createX11ScreenCapture();
    auto content = capture->shareableContent();
    ASSERT_TRUE(content.content) << content.error->message;
    const ShareableDisplay* display = nullptr;
    for (const auto& d : content.content->displays) {
        if (d.width == w && d.height == h) display = &d;
    }
    ASSERT_NE(display, nullptr) << "no display covers the whole screen";
    EXPECT_TRUE(display->active);

    auto queue = SerialQueue::create("capture-test");
    Recorder recorder;
    StreamConfiguration config;
    config.width = w;
    config.height = h;
    config.minimumFrameInterval = {1, 30};
    auto created = capture->createStream(
        display->id, config, queue, [&](const ScreenSample& s) { recorder.record(s); }, [](const ScreenCaptureError&) {});
    ASSERT_TRUE(created.stream);
    auto stream = created.stream;
    ASSERT_EQ(stream->start(), std::nullopt);

    // The first frame: the whole test card, in full-range BT.709.
    int first = recorder.waitFor(0, isComplete);
    ASSERT_GE(first, 0);
    {
        ScreenSample s = recorder.at(static_cast<size_t>(first));
        ASSERT_EQ(s.image->format, PixelFormat::i420);
        ASSERT_EQ(s.image->width, w);
        ASSERT_EQ(s.image->height, h);
        EXPECT_NEAR(lumaAt(*s.image, w / 4, h / 2), 54, 3);      // red
        EXPECT_NEAR(lumaAt(*s.image, 3 * w / 4, h / 2), 18, 3);  // blue
        const auto& cr = s.image->planes[2];
        const auto& cb = s.image->planes[1];
        EXPECT_GT(cr.bytes[static_cast<size_t>(h / 4) * cr.stride + static_cast<size_t>(w / 8)], 240);
        EXPECT_GT(cb.bytes[static_cast<size_t>(h / 4) * cb.stride + static_cast<size_t>(3 * w / 8)], 240);
    }
    // The pictures stay held (as an encoder holds its last one) until the next change is seen.
    ASSERT_GE(recorder.waitFor(static_cast<size_t>(first), isIdle), 0) << "a still screen reports idle";

    // A drawn rectangle: a complete frame whose dirty rectangles cover it. Its rows start and
    // end on odd lines, and the picture before is still held, so only the changed rows are
    // grabbed and converted: every row across its edges must still be right.
    size_t mark = recorder.count();
    card.fill(0x00ff00, 200, 151, 80, 61);
    int changed = recorder.waitFor(mark, isComplete);
    ASSERT_GE(changed, 0);
    {
        ScreenSample s = recorder.at(static_cast<size_t>(changed));
        ASSERT_TRUE(s.dirtyRects);
        double x0 = 1e9, y0 = 1e9, x1 = -1e9, y1 = -1e9;
        for (const auto& r : *s.dirtyRects) {
            x0 = std::min(x0, r.x), y0 = std::min(y0, r.y);
            x1 = std::max(x1, r.x + r.width), y1 = std::max(y1, r.y + r.height);
        }
        EXPECT_LE(x0, 200);
        EXPECT_LE(y0, 151);
        EXPECT_GE(x1, 280);
        EXPECT_GE(y1, 212);
        EXPECT_LT(x1 - x0, w) << "only the changed area is reported";
        for (int y = 140; y < 224; ++y) {
            const bool green = y >= 151 && y < 212;
            EXPECT_NEAR(lumaAt(*s.image, 240, y), green ? 182 : 54, 3) << "row " << y;  // green on red
            EXPECT_NEAR(lumaAt(*s.image, 120, y), 54, 3) << "row " << y;                // red beside it
        }
        const auto& cr = s.image->planes[2];
        for (int row = 70; row < 112; ++row) {  // chroma rows wholly inside or outside
            if (row == 75 || row == 105) continue;
            const bool green = row > 75 && row < 105;
            const int v = cr.bytes[static_cast<size_t>(row) * cr.stride + 120];
            EXPECT_TRUE(green ? v < 40 : v > 240) << "chroma row " << row << ": " << v;
        }
    }
    recorder.keepPictures(false);

    // Still again: idle, and no complete frames for a while.
    int idle = recorder.waitFor(static_cast<size_t>(changed), isIdle);
    ASSERT_GE(idle, 0);
    mark = recorder.count();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(recorder.waitFor(mark, isComplete, 1ms), 0) << "a frame without a change";

    // A new configuration: half-size BGRA pictures follow its completion.
    recorder.keepPictures(true);
    StreamConfiguration half = config;
    half.width = w / 2;
    half.height = h / 2;
    half.pixelFormat = PixelFormat::bgra;
    std::promise<std::optional<ScreenCaptureError>> updated;
    stream->updateConfiguration(half, [&](std::optional<ScreenCaptureError> e) { updated.set_value(e); });
    ASSERT_EQ(updated.get_future().get(), std::nullopt);
    mark = recorder.count();
    int scaled = recorder.waitFor(mark, isComplete);
    ASSERT_GE(scaled, 0);
    {
        ScreenSample s = recorder.at(static_cast<size_t>(scaled));
        ASSERT_EQ(s.image->format, PixelFormat::bgra);
        ASSERT_EQ(s.image->width, w / 2);
        ASSERT_EQ(s.image->height, h / 2);
        const auto& plane = s.image->planes[0];
        const uint8_t* red = plane.bytes.data() + static_cast<size_t>(h / 3) * plane.stride + static_cast<size_t>(w / 8) * 4;
        const uint8_t* blue = plane.bytes.data() + static_cast<size_t>(h / 3) * plane.stride + static_cast<size_t>(3 * w / 8) * 4;
        EXPECT_EQ((std::vector<int>{red[0], red[1], red[2], red[3]}), (std::vector<int>{0, 0, 255, 255}));
        EXPECT_EQ((std::vector<int>{blue[0], blue[1], blue[2], blue[3]}), (std::vector<int>{255, 0, 0, 255}));
    }

    std::promise<void> stopped;
    stream->stop([&](std::optional<ScreenCaptureError>) { stopped.set_value(); });
    stopped.get_future().get();
    mark = recorder.count();
    card.fill(0xffffff, 0, 0, 100, 100);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(recorder.count(), mark) << "no sample after stop";
}


// A private X server of the test's own (the shared one must stay up): ended under a
// running stream, the stream reports it once through the stopped-with-error handler.
TEST(X11ScreenCaptureTest, ReportsTheServerGoingAway) {
    DF_REQUIRE_TOOL("Xvfb");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "320x240x24", "-nolisten", "tcp",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    auto endServer = [&] {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    };
    struct EndOnExit {
        std::function<void()> end;
        ~EndOnExit() { end(); }
    } endOnExit{endServer};
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";

    auto capture = createX11ScreenCapture(":" + number);
    auto content = capture->shareableContent();
    ASSERT_TRUE(content.content);
    ASSERT_FALSE(content.content->displays.empty());
    auto queue = SerialQueue::create("capture-test");
    Recorder recorder;
    std::promise<ScreenCaptureError> lost;
    StreamConfiguration config;
    config.width = 320;
    config.height = 240;
    auto created = capture->createStream(
        content.content->displays[0].id, config, queue, [&](const ScreenSample& s) { recorder.record(s); },
        [&](const ScreenCaptureError& e) { lost.set_value(e); });
    ASSERT_TRUE(created.stream);
    ASSERT_EQ(created.stream->start(), std::nullopt);
    ASSERT_GE(recorder.waitFor(0, isComplete), 0);
    recorder.keepPictures(false);

    endServer();
    auto future = lost.get_future();
    ASSERT_EQ(future.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(future.get().code, screenCaptureNoDisplay);
    created.stream->stop({});
    EXPECT_TRUE(capture->shareableContent().error);
}

TEST(X11ScreenCaptureTest, ReportsTheDisplayGoingAway) {
    DF_REQUIRE_SERVICE(std::getenv("DISPLAY"), "an X display ($DISPLAY)");
    auto capture = createX11ScreenCapture();
    ASSERT_TRUE(testsupport::setMonitor("df-capture", 0, 640));
    auto content = capture->shareableContent();
    ASSERT_TRUE(content.content);
    std::optional<uint32_t> id;
    for (const auto& d : content.content->displays) {
        if (d.width == 640) id = d.id;
    }
    if (!id) testsupport::setMonitor("df-capture", 0, 0);
    ASSERT_TRUE(id) << "the added monitor is not listed";

    auto queue = SerialQueue::create("capture-test");
    Recorder recorder;
    std::promise<ScreenCaptureError> lost;
    StreamConfiguration config;
    config.width = 320;
    config.height = 540;
    auto created = capture->createStream(
        *id, config, queue, [&](const ScreenSample& s) { recorder.record(s); },
        [&](const ScreenCaptureError& e) { lost.set_value(e); });
    ASSERT_TRUE(created.stream);
    std::optional<ScreenCaptureError> started = created.stream->start();
    bool first = !started && recorder.waitFor(0, isComplete) >= 0;
    recorder.keepPictures(false);
    testsupport::setMonitor("df-capture", 0, 0);
    ASSERT_EQ(started, std::nullopt);
    ASSERT_TRUE(first);
    auto future = lost.get_future();
    ASSERT_EQ(future.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(future.get().code, screenCaptureDisplayUnavailable);
    created.stream->stop({});
}

// The owner holds every picture: no more than the queue depth is handed out, and a change
// made meanwhile arrives once a picture comes back.
TEST(X11ScreenCaptureTest, HandsOutAtMostTheQueueDepth) {
    DF_REQUIRE_SERVICE(std::getenv("DISPLAY"), "an X display ($DISPLAY)");
    TestCard card;
    ASSERT_TRUE(card.ok());
    card.fill(0x000000, 0, 0, card.width, card.height);
    auto capture = createX11ScreenCapture();
    auto content = capture->shareableContent();
    ASSERT_TRUE(content.content);
    auto queue = SerialQueue::create("capture-test");
    Recorder recorder;
    StreamConfiguration config;
    config.width = 160;
    config.height = 90;
    config.queueDepth = 2;
    config.minimumFrameInterval = {1, 100};
    auto created = capture->createStream(
        content.content->displays[0].id, config, queue, [&](const ScreenSample& s) { recorder.record(s); },
        [](const ScreenCaptureError&) {});
    ASSERT_TRUE(created.stream);
    ASSERT_EQ(created.stream->start(), std::nullopt);
    ASSERT_GE(recorder.waitFor(0, isComplete), 0);
    for (int i = 0; i < 5; ++i) {
        card.fill(0x101010 * static_cast<unsigned long>(i + 1), 10 * i, 0, 10, 10);
        std::this_thread::sleep_for(30ms);
    }
    auto completeCount = [&] {
        int n = 0;
        for (size_t i = 0; i < recorder.count(); ++i) n += isComplete(recorder.at(i)) ? 1 : 0;
        return n;
    };
    EXPECT_EQ(completeCount(), 2);
    size_t mark = recorder.count();
    recorder.keepPictures(false);
    EXPECT_GE(recorder.waitFor(mark, [](const ScreenSample& s) { return s.status == ScreenFrameStatus::complete; }), 0);
    created.stream->stop({});
}

}  // namespace
}  // namespace df
