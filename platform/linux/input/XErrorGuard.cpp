#include "platform/linux/input/XErrorGuard.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace df::XErrorGuard {

namespace {

std::mutex gMutex;
std::vector<Display*> gDisplays;
XErrorHandler gPrevious = nullptr;
std::once_flag gInstalled;

int handler(Display* display, XErrorEvent* error) {
    {
        std::lock_guard lock(gMutex);
        if (std::find(gDisplays.begin(), gDisplays.end(), display) != gDisplays.end()) return 0;
    }
    return gPrevious ? gPrevious(display, error) : 0;
}

}  // namespace

void watch(Display* display) {
    std::call_once(gInstalled, [] { gPrevious = XSetErrorHandler(handler); });
    std::lock_guard lock(gMutex);
    gDisplays.push_back(display);
}

void unwatch(Display* display) {
    std::lock_guard lock(gMutex);
    gDisplays.erase(std::remove(gDisplays.begin(), gDisplays.end(), display), gDisplays.end());
}

}  // namespace df::XErrorGuard
