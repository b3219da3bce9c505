#include "platform/linux/x11/XErrorGuard.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace df::XErrorGuard {

namespace {

// Xlib's handlers are per process; this registry is what lets them tell our connections
// from those of other code in the process.
std::mutex gMutex;
std::vector<Display*> gDisplays;
std::vector<std::pair<Display*, uint64_t>> gErrors;  // protocol errors seen per watched display
XErrorHandler gPrevious = nullptr;
XIOErrorHandler gPreviousIO = nullptr;
std::once_flag gInstalled;

bool watched(Display* display) {
    std::lock_guard lock(gMutex);
    return std::find(gDisplays.begin(), gDisplays.end(), display) != gDisplays.end();
}

int handler(Display* display, XErrorEvent* error) {
    if (watched(display)) {
        std::lock_guard lock(gMutex);
        for (auto& [d, count] : gErrors) {
            if (d == display) ++count;
        }
        return 0;
    }
    return gPrevious ? gPrevious(display, error) : 0;
}

// Returning lets Xlib go on to the display's own exit handler, which marks the connection
// broken instead of ending the process.
int ioHandler(Display* display) {
    if (watched(display)) return 0;
    return gPreviousIO ? gPreviousIO(display) : 0;
}

}  // namespace

void watch(Display* display) {
    std::call_once(gInstalled, [] {
        gPrevious = XSetErrorHandler(handler);
        gPreviousIO = XSetIOErrorHandler(ioHandler);
    });
    std::lock_guard lock(gMutex);
    gDisplays.push_back(display);
    gErrors.emplace_back(display, 0);
}

void unwatch(Display* display) {
    std::lock_guard lock(gMutex);
    gDisplays.erase(std::remove(gDisplays.begin(), gDisplays.end(), display), gDisplays.end());
    gErrors.erase(std::remove_if(gErrors.begin(), gErrors.end(), [display](const auto& e) { return e.first == display; }),
                  gErrors.end());
}

uint64_t errorCount(Display* display) {
    std::lock_guard lock(gMutex);
    for (const auto& [d, count] : gErrors) {
        if (d == display) return count;
    }
    return 0;
}

}  // namespace df::XErrorGuard
