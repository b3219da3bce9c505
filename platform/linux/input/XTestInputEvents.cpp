#include "platform/linux/input/XTestInputEvents.h"

#include "platform/linux/input/WheelNotches.h"
#include "platform/linux/input/XKeyboardMapper.h"
#include "platform/linux/x11/XConnection.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace df {

namespace {

class XSource final : public InputEventSource {};

// Seconds for which the last posted pointer position is taken as the cursor position.
constexpr double kPostedPositionTrust = 0.25;

double monotonicNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Host modifiers that event flags can ask for.
enum HostModifier { kShift, kControl, kAlt, kSuper, kModifierCount };

std::optional<HostModifier> modifierOf(KeySym keysym) {
    switch (keysym) {
        case XK_Shift_L: case XK_Shift_R: return kShift;
        case XK_Control_L: case XK_Control_R: return kControl;
        case XK_Alt_L: case XK_Alt_R: case XK_Meta_L: case XK_Meta_R: return kAlt;
        case XK_Super_L: case XK_Super_R: case XK_Hyper_L: case XK_Hyper_R: return kSuper;
        default: return std::nullopt;
    }
}

int clampCoordinate(double v) {
    if (std::isnan(v)) return 0;
    return static_cast<int>(std::lround(std::clamp(v, -32768.0, 32767.0)));
}

// The keysym that types a code point; control characters that have a key of their own
// map to that key, other control characters to nothing.
KeySym keysymForCodePoint(char32_t cp) {
    switch (cp) {
        case U'\n': case U'\r': return XK_Return;
        case U'\t': return XK_Tab;
        case 0x08: return XK_BackSpace;
        case 0x1B: return XK_Escape;
        case 0x7F: return XK_Delete;
        default: break;
    }
    if (cp < 0x20 || (cp >= 0x80 && cp < 0xA0)) return NoSymbol;
    return xkb_utf32_to_keysym(cp);
}

// A key of a chord by the name people write it with: the modifier words, else an X keysym
// name ("F7", "Down", "w", "Super_R"). Surrounding spaces are ignored.
KeySym keysymForKeyName(std::string name) {
    while (!name.empty() && name.front() == ' ') name.erase(name.begin());
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (name.empty()) return NoSymbol;
    static const std::map<std::string, KeySym> words{
        {"Super", XK_Super_L}, {"Control", XK_Control_L}, {"Ctrl", XK_Control_L},
        {"Alt", XK_Alt_L},     {"Shift", XK_Shift_L},     {"Meta", XK_Meta_L},
        {"Hyper", XK_Hyper_L},
    };
    if (auto it = words.find(name); it != words.end()) return it->second;
    return XStringToKeysym(name.c_str());
}

std::vector<char32_t> codePoints(const std::u16string& units) {
    std::vector<char32_t> out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            out.push_back(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                          (static_cast<char32_t>(units[i + 1]) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            continue;  // a lone surrogate types nothing
        } else {
            out.push_back(u);
        }
    }
    return out;
}

class XTestInputEvents final : public InputEvents {
public:
    XTestInputEvents(std::unique_ptr<XConnection> connection, XTestInputOptions options)
        : connection_(std::move(connection)),
          options_(std::move(options)),
          wheel_(options_.pixelsPerNotch, options_.maxNotchesPerEvent),
          locker_(options_.lockCommands) {}

    ~XTestInputEvents() override {
        std::lock_guard lock(mutex_);
        if (mapper_ && !connection_->broken()) {
            releaseAllLocked();
            mapper_.reset();  // clears the spare keycodes it remapped
            XFlush(display_);
        }
    }

    std::shared_ptr<InputEventSource> createSource() override { return std::make_shared<XSource>(); }

    std::optional<InputEvent> createMouseEvent(const InputEventSource* source, InputEvent::Type type,
                                               ScreenPoint location, MouseButton button) override {
        InputEvent e;
        e.type = type;
        e.hasSource = source != nullptr;
        e.location = location;
        e.button = button;
        return e;
    }

    std::optional<InputEvent> createScrollWheelEvent(const InputEventSource* source, int32_t wheel1,
                                                     int32_t wheel2) override {
        InputEvent e;
        e.type = InputEvent::Type::scrollWheel;
        e.hasSource = source != nullptr;
        e.wheel1 = wheel1;
        e.wheel2 = wheel2;
        return e;
    }

    std::optional<InputEvent> createKeyboardEvent(const InputEventSource* source, uint16_t keyCode,
                                                  bool isDown) override {
        InputEvent e;
        e.type = isDown ? InputEvent::Type::keyDown : InputEvent::Type::keyUp;
        e.hasSource = source != nullptr;
        e.keyCode = keyCode;
        return e;
    }

    void post(const InputEvent& event) override {
        std::unique_lock lock(mutex_);
        if (!connected()) return;
        if (event.isMouse()) {
            postMouse(event);
        } else if (event.type == InputEvent::Type::scrollWheel) {
            postScroll(event);
        } else if (!event.unicode.empty()) {
            if (event.type == InputEvent::Type::keyDown && !typeText(event, lock)) return;
        } else {
            postKey(event);
        }
        XFlush(display_);
    }

    std::optional<ScreenPoint> cursorPosition() override {
        std::lock_guard lock(mutex_);
        // While a client holds a synchronous grab (a window manager's click-to-focus does),
        // the server queues our motion and reports the old position. The point we just
        // posted is where the pointer is about to be, so it is what reads back.
        if (lastMotion_ && monotonicNow() - lastMotionAt_ < kPostedPositionTrust) return lastMotion_;
        if (!connected()) return std::nullopt;
        Window rootReturn = 0, child = 0;
        int rootX = 0, rootY = 0, winX = 0, winY = 0;
        unsigned int mask = 0;
        if (!XQueryPointer(display_, root_, &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask))
            return std::nullopt;
        return ScreenPoint{static_cast<double>(rootX), static_cast<double>(rootY)};
    }

    void releaseHeldInput() override {
        std::lock_guard lock(mutex_);
        if (!connected()) return;
        releaseAllLocked();
        XFlush(display_);
    }

    bool pressKeyChord(const std::string& chord) override {
        std::lock_guard lock(mutex_);
        if (!connected()) return false;
        std::vector<KeySym> keysyms;
        size_t start = 0;
        while (start <= chord.size()) {
            size_t plus = chord.find('+', start);
            if (plus == std::string::npos) plus = chord.size();
            KeySym keysym = keysymForKeyName(chord.substr(start, plus - start));
            if (keysym == NoSymbol) return false;
            keysyms.push_back(keysym);
            start = plus + 1;
        }
        std::vector<KeyCode> keys;
        for (KeySym keysym : keysyms) {
            auto stroke = mapper_->strokeFor(keysym, false);
            if (!stroke) return false;
            keys.push_back(stroke->keycode);
        }
        mapper_->settle();
        // Modifiers the phone holds would turn the chord into another one.
        auto change = applyModifiers(EventFlags::none, 0, false);
        for (KeyCode kc : keys) XTestFakeKeyEvent(display_, kc, True, CurrentTime);
        for (auto it = keys.rbegin(); it != keys.rend(); ++it) XTestFakeKeyEvent(display_, *it, False, CurrentTime);
        restoreModifiers(change);
        XFlush(display_);
        return true;
    }

private:
    // Under mutex_: the display with the state that belongs to its connection (keymap,
    // modifier keys, what is held down), made once per connection; false when the X server
    // cannot be reached. Keys held on a connection that broke went with it.
    bool connected() {
        if (connection_->broken() && mapper_) {
            mapper_.reset();
            heldKeys_.clear();
            heldButtons_.clear();
            swallowed_.clear();
            lastMotion_.reset();
        }
        display_ = connection_->get();
        if (!display_) return false;
        if (connection_->generation() == generation_ && mapper_) return true;
        root_ = DefaultRootWindow(display_);
        screen_ = DefaultScreen(display_);
        mapper_ = std::make_unique<XKeyboardMapper>(display_);
        const KeySym primary[kModifierCount] = {XK_Shift_L, XK_Control_L, XK_Alt_L, XK_Super_L};
        for (int m = 0; m < kModifierCount; ++m) modifierKeycode_[m] = XKeysymToKeycode(display_, primary[m]);
        generation_ = connection_->generation();
        return true;
    }

    // Modifier keys pressed or released around one event, to be put back afterwards.
    struct ModifierChange {
        std::vector<KeyCode> pressed;
        std::vector<KeyCode> released;
    };

    std::optional<HostModifier> modifierOfKeycode(KeyCode kc) const {
        return modifierOf(mapper_->keysymOf(kc));
    }

    std::array<bool, kModifierCount> wantedModifiers(uint64_t flags) const {
        std::array<bool, kModifierCount> want{};
        want[kShift] = flags & EventFlags::shift;
        want[kControl] = flags & EventFlags::control;
        want[kAlt] = flags & EventFlags::alternate;
        if (flags & EventFlags::command) want[options_.command == CommandKey::control ? kControl : kSuper] = true;
        return want;
    }

    // Makes exactly the event's modifiers held. `ownKey` is the key of the event itself
    // (left alone when it is a modifier); `needShift` adds Shift for a shifted-level key.
    ModifierChange applyModifiers(std::optional<uint64_t> flags, KeyCode ownKey, bool needShift) {
        ModifierChange change;
        if (!flags && !needShift) return change;
        std::array<bool, kModifierCount> have{};
        for (const auto& [mac, kc] : heldKeys_) {
            if (kc == ownKey) continue;
            if (auto m = modifierOfKeycode(kc)) have[*m] = true;
        }
        std::array<bool, kModifierCount> want = flags ? wantedModifiers(*flags) : have;
        if (needShift) want[kShift] = true;
        auto own = ownKey ? modifierOfKeycode(ownKey) : std::nullopt;
        for (int m = 0; m < kModifierCount; ++m) {
            if (own && *own == m) continue;
            if (want[m] && !have[m] && modifierKeycode_[m]) {
                XTestFakeKeyEvent(display_, modifierKeycode_[m], True, CurrentTime);
                change.pressed.push_back(modifierKeycode_[m]);
            } else if (!want[m] && have[m]) {
                for (const auto& [mac, kc] : heldKeys_) {
                    if (kc == ownKey || modifierOfKeycode(kc) != m) continue;
                    XTestFakeKeyEvent(display_, kc, False, CurrentTime);
                    change.released.push_back(kc);
                }
            }
        }
        return change;
    }

    void restoreModifiers(const ModifierChange& change) {
        for (auto it = change.pressed.rbegin(); it != change.pressed.rend(); ++it)
            XTestFakeKeyEvent(display_, *it, False, CurrentTime);
        for (KeyCode kc : change.released) XTestFakeKeyEvent(display_, kc, True, CurrentTime);
    }

    void postMouse(const InputEvent& event) {
        using T = InputEvent::Type;
        // Clicks get exactly their flags. Plain motion leaves held modifiers alone: toggling
        // a key the phone holds on every move would flood applications with key events,
        // and motion means the same with or without them.
        bool motion = event.type == T::mouseMoved || event.type == T::leftMouseDragged;
        auto change = applyModifiers(motion ? std::nullopt : event.flags, 0, false);
        int x = std::clamp(clampCoordinate(event.location.x), 0, DisplayWidth(display_, screen_) - 1);
        int y = std::clamp(clampCoordinate(event.location.y), 0, DisplayHeight(display_, screen_) - 1);
        XTestFakeMotionEvent(display_, screen_, x, y, CurrentTime);
        lastMotion_ = ScreenPoint{static_cast<double>(x), static_cast<double>(y)};
        lastMotionAt_ = monotonicNow();
        unsigned button = event.button == MouseButton::right ? 3 : 1;
        switch (event.type) {
            case T::leftMouseDown:
            case T::rightMouseDown:
                XTestFakeButtonEvent(display_, button, True, CurrentTime);
                heldButtons_.insert(button);
                break;
            case T::leftMouseUp:
            case T::rightMouseUp:
                XTestFakeButtonEvent(display_, button, False, CurrentTime);
                heldButtons_.erase(button);
                break;
            default:
                break;
        }
        restoreModifiers(change);
    }

    void postScroll(const InputEvent& event) {
        auto notches = wheel_.add(event.wheel1, event.wheel2);
        if (notches.vertical == 0 && notches.horizontal == 0) return;
        auto change = applyModifiers(event.flags, 0, false);
        auto click = [this](unsigned button, int count) {
            for (int i = 0; i < count; ++i) {
                XTestFakeButtonEvent(display_, button, True, CurrentTime);
                XTestFakeButtonEvent(display_, button, False, CurrentTime);
            }
        };
        click(notches.vertical > 0 ? 4 : 5, std::abs(notches.vertical));
        click(notches.horizontal > 0 ? 6 : 7, std::abs(notches.horizontal));
        restoreModifiers(change);
    }

    static bool isLockChord(const InputEvent& event) {
        constexpr uint64_t chord = EventFlags::control | EventFlags::command;
        return event.keyCode == 12 && event.flags && (*event.flags & EventFlags::all) == chord;
    }

    void postKey(const InputEvent& event) {
        bool down = event.type == InputEvent::Type::keyDown;
        if (down && isLockChord(event)) {
            locker_.lock();
            swallowed_.insert(event.keyCode);  // its key-up types nothing either
            return;
        }
        if (!down && swallowed_.erase(event.keyCode)) return;

        if (down) {
            KeySym keysym = macKeyCodeToKeysym(event.keyCode, options_.command);
            auto stroke = mapper_->strokeFor(keysym, false);
            if (!stroke) return;  // no such key here
            mapper_->settle();
            auto change = applyModifiers(event.flags, stroke->keycode, stroke->shifted);
            XTestFakeKeyEvent(display_, stroke->keycode, True, CurrentTime);
            heldKeys_[event.keyCode] = stroke->keycode;
            restoreModifiers(change);
            return;
        }
        KeyCode keycode = 0;
        if (auto it = heldKeys_.find(event.keyCode); it != heldKeys_.end()) {
            keycode = it->second;
            heldKeys_.erase(it);
        } else if (auto stroke = mapper_->strokeFor(macKeyCodeToKeysym(event.keyCode, options_.command), false)) {
            keycode = stroke->keycode;
        }
        if (!keycode) return;
        auto change = applyModifiers(event.flags, keycode, false);
        XTestFakeKeyEvent(display_, keycode, False, CurrentTime);
        restoreModifiers(change);
    }

    // Types each character by its keysym. Characters the keymap lacks go on spare
    // keycodes; the text is typed in runs that need no more remaps than there are spare
    // keycodes, each run's remaps settled before its first key. The wait for clients to take
    // in a run's keymap changes happens with the connection let go: a long text in another
    // script waits like that hundreds of times, and the session's own calls (the cursor
    // position that answers a heartbeat) must not wait for the whole text. (The next run's
    // remaps come after that wait, so reusing a spare keycode does not wait again.) False
    // when the connection changed on the way.
    bool typeText(const InputEvent& event, std::unique_lock<std::mutex>& lock) {
        mapper_->refresh();
        const uint64_t generation = generation_;
        auto pause = [&](double seconds) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            lock.lock();
            return connected() && generation_ == generation;
        };
        std::vector<XKeyboardMapper::Stroke> run;
        size_t remaps = 0;
        auto typeRunNow = [&] {
            if (mapper_->unsettled()) {
                XSync(display_, False);
                mapper_->markSettled();
                if (!pause(XKeyboardMapper::settleTime)) return false;
            }
            auto change = applyModifiers(event.flags, 0, false);
            typeRun(run);
            restoreModifiers(change);
            XFlush(display_);
            run.clear();
            remaps = 0;
            return true;
        };
        for (char32_t cp : codePoints(event.unicode)) {
            KeySym keysym = keysymForCodePoint(cp);
            if (keysym == NoSymbol) continue;
            bool onKeymap = mapper_->lookup(keysym).has_value();
            if (!onKeymap && remaps >= mapper_->spareKeycodes()) {
                if (!typeRunNow()) return false;
            }
            auto stroke = mapper_->strokeFor(keysym);
            if (!stroke) continue;
            if (!onKeymap) ++remaps;
            run.push_back(*stroke);
        }
        return typeRunNow();
    }

    void typeRun(const std::vector<XKeyboardMapper::Stroke>& run) {
        for (const auto& stroke : run) {
            bool shift = stroke.shifted && modifierKeycode_[kShift];
            if (shift) XTestFakeKeyEvent(display_, modifierKeycode_[kShift], True, CurrentTime);
            XTestFakeKeyEvent(display_, stroke.keycode, True, CurrentTime);
            XTestFakeKeyEvent(display_, stroke.keycode, False, CurrentTime);
            if (shift) XTestFakeKeyEvent(display_, modifierKeycode_[kShift], False, CurrentTime);
        }
    }

    void releaseAllLocked() {
        for (const auto& [mac, kc] : heldKeys_) XTestFakeKeyEvent(display_, kc, False, CurrentTime);
        heldKeys_.clear();
        for (unsigned b : heldButtons_) XTestFakeButtonEvent(display_, b, False, CurrentTime);
        heldButtons_.clear();
        swallowed_.clear();
    }

    std::mutex mutex_;
    std::unique_ptr<XConnection> connection_;
    uint64_t generation_ = 0;  ///< the connection the state below belongs to
    Display* display_ = nullptr;
    Window root_ = None;
    int screen_ = 0;
    XTestInputOptions options_;
    std::unique_ptr<XKeyboardMapper> mapper_;
    WheelNotches wheel_;
    SessionLocker locker_;
    std::array<KeyCode, kModifierCount> modifierKeycode_{};
    std::map<uint16_t, KeyCode> heldKeys_;  ///< Mac key code → the X keycode pressed for it
    std::set<unsigned> heldButtons_;
    std::set<uint16_t> swallowed_;
    std::optional<ScreenPoint> lastMotion_;
    double lastMotionAt_ = 0;
};

}  // namespace

std::shared_ptr<InputEvents> createXTestInputEvents(const XTestInputOptions& options) {
    auto connection = std::make_unique<XConnection>(options.displayName, [](Display* display) {
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) return false;
        // Synthesised input must not be cut off by a grab of another client.
        XTestGrabControl(display, True);
        return true;
    });
    if (!connection->get()) return nullptr;
    return std::make_shared<XTestInputEvents>(std::move(connection), options);
}

}  // namespace df
