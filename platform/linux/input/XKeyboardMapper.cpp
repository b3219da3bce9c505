#include "platform/linux/input/XKeyboardMapper.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

namespace df {

namespace {

double monotonicNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

constexpr double kSettleTime = XKeyboardMapper::settleTime;
constexpr double kReuseGuard = XKeyboardMapper::reuseGuard;

}  // namespace

XKeyboardMapper::XKeyboardMapper(Display* display) : display_(display) {
    XDisplayKeycodes(display_, &minKeycode_, &maxKeycode_);
    refresh();
    for (int kc = minKeycode_; kc <= maxKeycode_; ++kc) {
        bool empty = true;
        for (int i = 0; i < perKeycode_; ++i)
            if (map_[static_cast<size_t>((kc - minKeycode_) * perKeycode_ + i)] != NoSymbol) empty = false;
        if (empty) spare_.push_back(Spare{static_cast<KeyCode>(kc)});
    }
}

XKeyboardMapper::~XKeyboardMapper() {
    for (auto& s : spare_) {
        if (s.mapped == NoSymbol) continue;
        KeySym none[2] = {NoSymbol, NoSymbol};
        XChangeKeyboardMapping(display_, s.keycode, 2, none, 1);
    }
    XSync(display_, False);
}

void XKeyboardMapper::refresh() {
    int count = maxKeycode_ - minKeycode_ + 1;
    int per = 0;
    KeySym* syms = XGetKeyboardMapping(display_, static_cast<KeyCode>(minKeycode_), count, &per);
    if (!syms) {
        map_.clear();
        perKeycode_ = 0;
        return;
    }
    perKeycode_ = per;
    map_.assign(syms, syms + static_cast<size_t>(count) * static_cast<size_t>(per));
    XFree(syms);
}

std::optional<XKeyboardMapper::Stroke> XKeyboardMapper::find(KeySym keysym, bool allowShifted) const {
    if (perKeycode_ == 0) return std::nullopt;
    // The first group's plain level wins over its shifted level on any key.
    for (int level = 0; level < std::min(perKeycode_, allowShifted ? 2 : 1); ++level) {
        for (int kc = minKeycode_; kc <= maxKeycode_; ++kc) {
            if (map_[static_cast<size_t>((kc - minKeycode_) * perKeycode_ + level)] == keysym)
                return Stroke{static_cast<KeyCode>(kc), level == 1};
        }
    }
    return std::nullopt;
}

KeySym XKeyboardMapper::keysymOf(KeyCode keycode) const {
    if (perKeycode_ == 0 || keycode < minKeycode_ || keycode > maxKeycode_) return NoSymbol;
    return map_[static_cast<size_t>((keycode - minKeycode_) * perKeycode_)];
}

std::optional<XKeyboardMapper::Stroke> XKeyboardMapper::lookup(KeySym keysym, bool allowShifted) const {
    if (keysym == NoSymbol) return std::nullopt;
    for (const auto& s : spare_)
        if (s.mapped == keysym) return Stroke{s.keycode, false};
    return find(keysym, allowShifted);
}

void XKeyboardMapper::settle() {
    if (!unsettled_) return;
    unsettled_ = false;
    XSync(display_, False);
    std::this_thread::sleep_for(std::chrono::duration<double>(kSettleTime));
}

std::optional<XKeyboardMapper::Stroke> XKeyboardMapper::strokeFor(KeySym keysym, bool allowShifted) {
    if (keysym == NoSymbol) return std::nullopt;
    double now = monotonicNow();
    for (auto& s : spare_) {
        if (s.mapped == keysym) {
            s.lastUsed = now;
            return Stroke{s.keycode, false};
        }
    }
    if (auto found = find(keysym, allowShifted)) return found;
    if (spare_.empty()) return std::nullopt;

    auto victim = std::min_element(spare_.begin(), spare_.end(),
                                   [](const Spare& a, const Spare& b) { return a.lastUsed < b.lastUsed; });
    if (victim->mapped != NoSymbol && now - victim->lastUsed < kReuseGuard) {
        XSync(display_, False);
        std::this_thread::sleep_for(std::chrono::duration<double>(kReuseGuard - (now - victim->lastUsed)));
        now = monotonicNow();
    }
    // The same symbol on both levels, so Shift or Caps Lock do not change what it types.
    KeySym syms[2] = {keysym, keysym};
    XChangeKeyboardMapping(display_, victim->keycode, 2, syms, 1);
    unsettled_ = true;
    victim->mapped = keysym;
    victim->lastUsed = now;
    if (perKeycode_ > 0) {
        size_t base = static_cast<size_t>((victim->keycode - minKeycode_) * perKeycode_);
        for (int i = 0; i < perKeycode_; ++i) map_[base + static_cast<size_t>(i)] = i < 2 ? keysym : NoSymbol;
    }
    return Stroke{victim->keycode, false};
}

}  // namespace df
