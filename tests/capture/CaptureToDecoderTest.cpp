// Capture and encoding end to end on a real X server (Xvfb): a test card drawn in a window
// is captured by the X11 screen capture and encoded by libx265 through the capture engine,
// and libavcodec decodes what a phone would receive (VideoConfig messages and videoFrame wire
// frames). Skipped without DISPLAY, failed under CI=true.

#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "platform/SerialQueue.h"
#include "platform/linux/capture/X11ScreenCapture.h"
#include "platform/linux/compression/X265Compression.h"
#include "protocol/MediaPayloads.h"
#include "protocol/WireFrame.h"
#include "tests/support/HevcDecoder.h"
#include "tests/support/RequireService.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <variant>
#include <vector>

namespace df {
namespace {

using namespace std::chrono_literals;

// A picture as drawn: 0x00RRGGBB per pixel, row by row.
struct Rgb {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)]; }
};

// Text-like detail: rows of 5×7 glyphs of random strokes, dark on `paper`.
void drawGlyphs(Rgb& rgb, int x0, int y0, int w, int h, uint32_t paper, uint32_t ink, unsigned seed) {
    std::mt19937 random(seed);
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) rgb.pixels[static_cast<size_t>(y) * static_cast<size_t>(rgb.width) + static_cast<size_t>(x)] = paper;
    for (int line = y0 + 4; line + 7 <= y0 + h; line += 12) {
        for (int cell = x0 + 4; cell + 5 <= x0 + w; cell += 7) {
            if (random() % 7 == 0) continue;  // a space between words
            const uint32_t bits = static_cast<uint32_t>(random());
            for (int gy = 0; gy < 7; ++gy)
                for (int gx = 0; gx < 5; ++gx)
                    if ((bits >> ((gy * 5 + gx) % 32)) & 1)
                        rgb.pixels[static_cast<size_t>(line + gy) * static_cast<size_t>(rgb.width) + static_cast<size_t>(cell + gx)] = ink;
        }
    }
}

// The card: colour blocks, a flat grey block for the pointer, ramps of each primary and of
// grey, and a page of text.
Rgb makeCard(int width, int height) {
    Rgb rgb{width, height, std::vector<uint32_t>(static_cast<size_t>(width) * static_cast<size_t>(height))};
    static const uint32_t blocks[8] = {0xffffff, 0xffff00, 0x00ffff, 0x00ff00, 0xff00ff, 0xff0000, 0x0000ff, 0x202020};
    const int band = height / 4;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint32_t& p = rgb.pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
            const uint32_t ramp = static_cast<uint32_t>(x * 255 / (width - 1));
            if (y < band) p = blocks[x * 8 / width];
            else if (y < 2 * band) p = ramp << (8 * ((y - band) * 4 / band % 3)) | (((y - band) * 4 / band == 3) ? ramp * 0x010101 : 0);
            else p = 0x808080;
        }
    }
    drawGlyphs(rgb, width / 2, 2 * band + 8, width / 2 - 8, height - 2 * band - 16, 0xf4f0e8, 0x101010, 1);
    return rgb;
}

// Where the pointer rests: the middle of the flat grey block.
std::pair<int, int> pointerSpot(const Rgb& card) { return {card.width / 4, card.height * 5 / 8}; }

// The planes a faithful capture and encoder produce from `rgb`: full-range BT.709, chroma
// averaged over 2×2 pixels for 4:2:0.
struct Yuv {
    int width = 0, height = 0, chromaWidth = 0, chromaHeight = 0;
    std::vector<uint8_t> y, cb, cr;
    std::vector<testsupport::PlaneView> planes() const {
        return {{y.data(), static_cast<size_t>(width), width, height},
                {cb.data(), static_cast<size_t>(chromaWidth), chromaWidth, chromaHeight},
                {cr.data(), static_cast<size_t>(chromaWidth), chromaWidth, chromaHeight}};
    }
};

Yuv toYuv(const Rgb& rgb, bool chroma444) {
    Yuv out;
    out.width = rgb.width;
    out.height = rgb.height;
    const int sub = chroma444 ? 1 : 2;
    out.chromaWidth = rgb.width / sub;
    out.chromaHeight = rgb.height / sub;
    auto byte = [](double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); };
    auto luma = [](double r, double g, double b) { return 0.2126 * r + 0.7152 * g + 0.0722 * b; };
    out.y.resize(static_cast<size_t>(rgb.width) * static_cast<size_t>(rgb.height));
    for (int row = 0; row < rgb.height; ++row)
        for (int col = 0; col < rgb.width; ++col) {
            const uint32_t p = rgb.at(col, row);
            out.y[static_cast<size_t>(row) * static_cast<size_t>(rgb.width) + static_cast<size_t>(col)] =
                byte(luma(p >> 16 & 0xff, p >> 8 & 0xff, p & 0xff));
        }
    out.cb.resize(static_cast<size_t>(out.chromaWidth) * static_cast<size_t>(out.chromaHeight));
    out.cr.resize(out.cb.size());
    for (int row = 0; row < out.chromaHeight; ++row)
        for (int col = 0; col < out.chromaWidth; ++col) {
            double r = 0, g = 0, b = 0;
            for (int dy = 0; dy < sub; ++dy)
                for (int dx = 0; dx < sub; ++dx) {
                    const uint32_t p = rgb.at(col * sub + dx, row * sub + dy);
                    r += p >> 16 & 0xff, g += p >> 8 & 0xff, b += p & 0xff;
                }
            const double n = sub * sub;
            r /= n, g /= n, b /= n;
            const double yy = luma(r, g, b);
            const size_t at = static_cast<size_t>(row) * static_cast<size_t>(out.chromaWidth) + static_cast<size_t>(col);
            out.cb[at] = byte(128 + (b - yy) / 1.8556);
            out.cr[at] = byte(128 + (r - yy) / 1.5748);
        }
    return out;
}

// An override-redirect window over the whole screen that shows what the test puts into it.
class CardWindow {
public:
    CardWindow() {
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
    ~CardWindow() {
        if (!dpy_) return;
        XFreeGC(dpy_, gc_);
        XDestroyWindow(dpy_, window_);
        XCloseDisplay(dpy_);
    }
    bool ok() const { return dpy_ != nullptr && DefaultDepth(dpy_, DefaultScreen(dpy_)) == 24; }

    /// Puts the part (x, y, w, h) of `rgb` on the screen in one request, so a grab sees all
    /// of it or none: Xlib may cut a large image into several requests, so the picture goes
    /// to a pixmap first and is copied from there.
    void put(const Rgb& rgb, int x, int y, int w, int h) {
        std::vector<uint32_t> part(static_cast<size_t>(w) * static_cast<size_t>(h));
        for (int row = 0; row < h; ++row)
            std::copy_n(&rgb.pixels[static_cast<size_t>(y + row) * static_cast<size_t>(rgb.width) + static_cast<size_t>(x)], w,
                        &part[static_cast<size_t>(row) * static_cast<size_t>(w)]);
        XImage* image = XCreateImage(dpy_, DefaultVisual(dpy_, DefaultScreen(dpy_)), 24, ZPixmap, 0,
                                     reinterpret_cast<char*>(part.data()), static_cast<unsigned>(w),
                                     static_cast<unsigned>(h), 32, w * 4);
        image->byte_order = LSBFirst;
        Pixmap pixmap = XCreatePixmap(dpy_, window_, static_cast<unsigned>(w), static_cast<unsigned>(h), 24);
        XPutImage(dpy_, pixmap, gc_, image, 0, 0, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h));
        XCopyArea(dpy_, pixmap, window_, gc_, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h), x, y);
        XFreePixmap(dpy_, pixmap);
        image->data = nullptr;
        XDestroyImage(image);
        XSync(dpy_, False);
    }
    void warpPointer(int x, int y) {
        XWarpPointer(dpy_, 0L, DefaultRootWindow(dpy_), 0, 0, 0, 0, x, y);
        XSync(dpy_, False);
    }

    int width = 0;
    int height = 0;

private:
    Display* dpy_ = nullptr;
    ::Window window_ = 0;
    GC gc_ = nullptr;
};

// What the engine hands on, in order: VideoConfig messages and decoded-wire video frames.
class Received {
public:
    struct Frame {
        VideoFramePacket packet;
        bool flaggedKeyframe = false;
    };
    using Item = std::variant<VideoConfig, Frame>;

    void config(const VideoConfig& config) { add(config); }
    void frame(const Bytes& wire, bool isKeyframe) {
        WireParser parser;
        auto frames = parser.append(wire);
        Frame frame;
        frame.flaggedKeyframe = isKeyframe;
        if (frames.size() == 1 && frames[0].kind == WireKind::videoFrame)
            if (auto packet = VideoFramePacket::parse(frames[0].payload)) frame.packet = std::move(*packet);
        add(std::move(frame));
    }
    size_t frameCount() {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    /// Waits until the last two frames are the still screen's: a keyframe re-sent 0.4 s of
    /// picture time after the last change and the refinement 0.4 s after that; false after
    /// `timeout`.
    /// The re-send and the refinement: two keyframes 0.4 s apart in picture time. A slow
    /// encoder skips the re-send when the refinement already waits behind it; then the
    /// still screen ends with a keyframe after which nothing comes for two seconds.
    bool waitForStillScreenEnd(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock lock(mutex_);
        for (;;) {
            std::vector<const Frame*> last;
            for (auto item = items_.rbegin(); item != items_.rend() && last.size() < 2; ++item)
                if (const auto* frame = std::get_if<Frame>(&*item)) last.push_back(frame);
            if (last.size() == 2 && last[0]->flaggedKeyframe && last[1]->flaggedKeyframe &&
                std::abs(last[0]->packet.pts - last[1]->packet.pts - 0.4) < 0.002)
                return true;
            const auto now = std::chrono::steady_clock::now();
            if (!last.empty() && last[0]->flaggedKeyframe && now - lastAdded_ >= std::chrono::seconds(2)) return true;
            if (now >= deadline) return false;
            changed_.wait_for(lock, std::chrono::milliseconds(100));
        }
    }
    std::vector<Item> items() {
        std::lock_guard lock(mutex_);
        return items_;
    }
    /// The frames so far, as "pts(K)" for keyframes and "pts" for others.
    std::string summary() {
        std::lock_guard lock(mutex_);
        std::string out;
        for (const auto& item : items_) {
            if (const auto* frame = std::get_if<Frame>(&item)) {
                char text[32];
                std::snprintf(text, sizeof text, " %.3f%s", frame->packet.pts, frame->flaggedKeyframe ? "(K)" : "");
                out += text;
            }
        }
        return out;
    }

private:
    void add(Item item) {
        std::lock_guard lock(mutex_);
        if (std::holds_alternative<Frame>(item)) ++frames_;
        items_.push_back(std::move(item));
        lastAdded_ = std::chrono::steady_clock::now();
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Item> items_;
    std::chrono::steady_clock::time_point lastAdded_ = std::chrono::steady_clock::now();
    size_t frames_ = 0;
};

struct ChromaCase {
    const char* name;
    bool chroma444;
    AVPixelFormat decoded;
    AVPixelFormat decodedFullRange;  // libavcodec names full-range formats either way
};

void PrintTo(const ChromaCase& c, std::ostream* os) { *os << c.name; }

class CaptureToDecoder : public ::testing::TestWithParam<ChromaCase> {};

// The card is drawn, then changed in steps a grab sees whole; the screen then stays still
// while the pointer rests on the card. Every frame that leaves the engine must decode, at the
// display's size and in the chroma format asked for, to one of the drawn states in drawing
// order, at 35 dB or better and with no pointer in it; the still screen gets its keyframe
// re-send and its refinement and then nothing more.
TEST_P(CaptureToDecoder, EveryFrameDecodesToTheDrawnCardAndAStillScreenEndsAfterItsRefinement) {
    DF_REQUIRE_SERVICE(std::getenv("DISPLAY"), "an X display ($DISPLAY)");
    const ChromaCase& param = GetParam();
    CardWindow window;
    ASSERT_TRUE(window.ok());
    const int w = window.width, h = window.height;
    ASSERT_EQ(w % 2 + h % 2, 0);

    // The states the screen goes through: the card, then a patch of new text added per step.
    std::vector<Rgb> states{makeCard(w, h)};
    constexpr int steps = 5;
    const int patchW = w / 8, patchH = h / 8;
    auto patchAt = [&](int step) { return std::pair{w / 2 + (step % 4) * patchW, h / 4 + (step / 4) * patchH}; };
    for (int step = 0; step < steps; ++step) {
        Rgb next = states.back();
        const auto [x, y] = patchAt(step);
        drawGlyphs(next, x, y, patchW, patchH, 0xe0f0ff - 0x101000 * static_cast<uint32_t>(step), 0x3020a0,
                   static_cast<unsigned>(100 + step));
        states.push_back(std::move(next));
    }
    window.put(states[0], 0, 0, w, h);
    const auto [px, py] = pointerSpot(states[0]);
    window.warpPointer(px, py);

    Received received;
    CaptureEngine::Services services;
    services.capture = createX11ScreenCapture();
    services.compression = createX265Compression();
    services.videoQueue = SerialQueue::create("duskferry.capture");
    CaptureEngine::Settings settings;  // the default rate
    settings.maxLongEdge = std::max(w, h);
    settings.chroma444 = param.chroma444;
    auto engine = CaptureEngine::create(
        services, settings, [&](const VideoConfig& c) { received.config(c); },
        [&](Bytes wire, bool key) { received.frame(wire, key); });
    ASSERT_NO_THROW(engine->start());
    ASSERT_EQ(engine->nativePixelSize(), (std::pair<int32_t, int32_t>{w, h}));

    // The steps follow one another closer than the still-screen delay.
    for (int step = 0; step < steps; ++step) {
        std::this_thread::sleep_for(60ms);
        const auto [x, y] = patchAt(step);
        window.put(states[static_cast<size_t>(step) + 1], x, y, patchW, patchH);
    }
    // Still from here on: the change's frame, the keyframe re-send after 0.4 s and the
    // refinement after 1.2 s, then nothing, also while the pointer moves over the card.
    ASSERT_TRUE(received.waitForStillScreenEnd(8000ms)) << "no re-send and refinement of the still screen; frames:" << received.summary();
    const size_t afterRefinement = received.frameCount();
    for (int i = 0; i < 10; ++i) window.warpPointer(px + 7 * i, py + 3 * i);
    window.warpPointer(px, py);
    std::this_thread::sleep_for(400ms);
    const size_t afterPointer = received.frameCount();
    engine->stop();
    EXPECT_EQ(afterPointer, afterRefinement) << "the pointer made frames";

    // Decode in order; each frame must show a drawn state at or after the previous one's.
    std::vector<Yuv> expected;
    for (const Rgb& state : states) expected.push_back(toYuv(state, param.chroma444));
    testsupport::HevcDecoder decoder;
    std::optional<VideoConfig> config;
    size_t state = 0;
    size_t frames = 0;
    std::vector<bool> keyframes;
    double worst = 99;
    for (const auto& item : received.items()) {
        if (const auto* c = std::get_if<VideoConfig>(&item)) {
            config = *c;
            EXPECT_EQ(c->width, w);
            EXPECT_EQ(c->height, h);
            continue;
        }
        const auto& frame = std::get<Received::Frame>(item);
        ++frames;
        SCOPED_TRACE("frame " + std::to_string(frames));
        ASSERT_TRUE(config) << "a frame before any VideoConfig";
        EXPECT_EQ(frame.packet.isKeyframe, frame.flaggedKeyframe);
        keyframes.push_back(frame.packet.isKeyframe);
        std::vector<Bytes> sets;
        if (frame.packet.isKeyframe) sets = {config->vps, config->sps, config->pps};
        const auto annexB = testsupport::toAnnexB(sets, frame.packet.data);
        ASSERT_TRUE(annexB) << "not length-prefixed HEVC";
        ASSERT_TRUE(decoder.decode(*annexB));
        const AVFrame* picture = decoder.frame();
        ASSERT_EQ(picture->width, w);
        ASSERT_EQ(picture->height, h);
        ASSERT_TRUE(picture->format == param.decoded || picture->format == param.decodedFullRange)
            << av_get_pix_fmt_name(AVPixelFormat(picture->format));

        double best = -1;
        size_t bestState = state;
        for (size_t s = state; s < expected.size(); ++s) {  // pictures may be skipped
            const double value = testsupport::psnr(expected[s].planes(), picture);
            if (value > best) best = value, bestState = s;
        }
        state = bestState;
        EXPECT_GE(best, 35.0) << "closest drawn state " << state;
        worst = std::min(worst, best);

        // The pointer rests on flat grey: its arrow would stand out there.
        double difference = 0;
        for (int y = py; y < py + 16; ++y)
            for (int x = px; x < px + 16; ++x)
                difference += std::abs(int(picture->data[0][y * picture->linesize[0] + x]) -
                                       int(expected[state].y[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)]));
        EXPECT_LT(difference / 256, 3.0) << "the pointer is in the picture";
    }
    EXPECT_EQ(state, expected.size() - 1) << "the last drawn state never arrived";
    // At least the first picture and the still screen's keyframe: an encoder slower than the
    // steps skips the pictures that a newer one already waits behind.
    ASSERT_GE(frames, 2u);
    EXPECT_TRUE(keyframes.front());
    std::printf("%s: %zu frames, worst PSNR %.1f dB\n", param.name, frames, worst);
}

INSTANTIATE_TEST_SUITE_P(Chroma, CaptureToDecoder,
                         ::testing::Values(ChromaCase{"Chroma420", false, AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P},
                                           ChromaCase{"Chroma444", true, AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUVJ444P}),
                         [](const ::testing::TestParamInfo<ChromaCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace df
