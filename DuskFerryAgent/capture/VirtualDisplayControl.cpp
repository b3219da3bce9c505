#include "DuskFerryAgent/capture/VirtualDisplayControl.h"

namespace df {

// Copies the slot out under the lock so that the callback runs unlocked (it may install
// slots itself).
template <typename F>
F VirtualDisplayControl::slot(F Slots::*member) const {
    std::lock_guard lock(mutex_);
    return slots_.*member;
}

void VirtualDisplayControl::installSetEnabled(std::function<void(bool)> s) {
    std::lock_guard lock(mutex_);
    slots_.setEnabled = std::move(s);
}
void VirtualDisplayControl::installEnableAuto(std::function<void()> s) {
    std::lock_guard lock(mutex_);
    slots_.enableAuto = std::move(s);
}
void VirtualDisplayControl::installSetSessionActive(std::function<void(bool)> s) {
    std::lock_guard lock(mutex_);
    slots_.setSessionActive = std::move(s);
}
void VirtualDisplayControl::clear() {
    std::lock_guard lock(mutex_);
    slots_ = {};
}

bool VirtualDisplayControl::hasSetEnabled() const { return static_cast<bool>(slot(&Slots::setEnabled)); }

void VirtualDisplayControl::setEnabled(bool enabled) const {
    if (auto f = slot(&Slots::setEnabled)) f(enabled);
}
void VirtualDisplayControl::enableAuto() const {
    if (auto f = slot(&Slots::enableAuto)) f();
}
void VirtualDisplayControl::setSessionActive(bool active) const {
    if (auto f = slot(&Slots::setSessionActive)) f(active);
}

}  // namespace df
