#include "DuskFerryAgent/capture/VirtualDisplayControl.h"

#include <mutex>

namespace df::VirtualDisplayControl {
namespace {

struct Slots {
    std::function<void(bool)> setEnabled;
    std::function<void()> enableAuto;
    std::function<void(bool)> setSessionActive;
};

std::mutex gMutex;
Slots gSlots;

// Copies the slot out under the lock so that the callback runs unlocked (it may install
// slots itself).
template <typename F>
F slot(F Slots::*member) {
    std::lock_guard lock(gMutex);
    return gSlots.*member;
}

}  // namespace

void installSetEnabled(std::function<void(bool)> s) {
    std::lock_guard lock(gMutex);
    gSlots.setEnabled = std::move(s);
}
void installEnableAuto(std::function<void()> s) {
    std::lock_guard lock(gMutex);
    gSlots.enableAuto = std::move(s);
}
void installSetSessionActive(std::function<void(bool)> s) {
    std::lock_guard lock(gMutex);
    gSlots.setSessionActive = std::move(s);
}
void clear() {
    std::lock_guard lock(gMutex);
    gSlots = {};
}

bool hasSetEnabled() { return static_cast<bool>(slot(&Slots::setEnabled)); }

void setEnabled(bool enabled) {
    if (auto f = slot(&Slots::setEnabled)) f(enabled);
}
void enableAuto() {
    if (auto f = slot(&Slots::enableAuto)) f();
}
void setSessionActive(bool active) {
    if (auto f = slot(&Slots::setSessionActive)) f(active);
}

}  // namespace df::VirtualDisplayControl
