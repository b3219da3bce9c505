#pragma once
// Keeps an X screen in full motion from a thread of its own until stopped: 60 times a
// second a block of noise (which no encoder can squeeze much) and a flat rectangle at new
// places, so that a stream of it needs a high bit rate and every frame changes.

#include "tests/support/PrivateXvfb.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace df::testsupport {

class ScreenMotion {
public:
    ScreenMotion(std::string display, Size size) : display_(std::move(display)), size_(size) {
        thread_ = std::thread([this] { run(); });
    }
    ~ScreenMotion() { stop(); }
    void stop() {
        moving_ = false;
        if (thread_.joinable()) thread_.join();
    }

private:
    void run() {
        Display* display = XOpenDisplay(display_.c_str());
        if (!display) return;
        const Window root = DefaultRootWindow(display);
        GC gc = XCreateGC(display, root, 0, nullptr);
        std::mt19937 random(7);
        const int w = std::min(256, size_.width), h = std::min(144, size_.height);
        std::vector<uint32_t> pixels(static_cast<size_t>(w) * static_cast<size_t>(h));
        XImage* noise = XCreateImage(display, DefaultVisual(display, DefaultScreen(display)), 24, ZPixmap, 0,
                                     reinterpret_cast<char*>(pixels.data()), static_cast<unsigned>(w),
                                     static_cast<unsigned>(h), 32, 0);
        std::uniform_int_distribution<int> px(0, size_.width - w), py(0, size_.height - h);
        auto next = std::chrono::steady_clock::now();
        while (moving_ && noise) {
            for (auto& p : pixels) p = static_cast<uint32_t>(random()) & 0xFFFFFF;
            XPutImage(display, root, gc, noise, 0, 0, px(random), py(random), static_cast<unsigned>(w),
                      static_cast<unsigned>(h));
            XSetForeground(display, gc, static_cast<unsigned long>(random() & 0xFFFFFF));
            XFillRectangle(display, root, gc, px(random), py(random), static_cast<unsigned>(w),
                           static_cast<unsigned>(h));
            XSync(display, False);
            next += std::chrono::microseconds(16667);
            std::this_thread::sleep_until(next);
        }
        if (noise) {
            noise->data = nullptr;  // the vector owns the pixels
            XDestroyImage(noise);
        }
        XFreeGC(display, gc);
        XCloseDisplay(display);
    }

    std::string display_;
    Size size_;
    std::atomic<bool> moving_ = true;
    std::thread thread_;
};

}  // namespace df::testsupport
