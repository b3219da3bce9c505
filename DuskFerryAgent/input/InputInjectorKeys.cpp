// InputInjector: key messages, typed text and shortcuts, system gestures.
#include "DuskFerryAgent/input/InputInjector.h"

#include "DuskFerryAgent/input/KeyMap.h"
#include "DuskFerryAgent/input/TextCodec.h"

namespace df {

uint64_t eventFlags(KeyModifiers modifiers) {
    uint64_t flags = EventFlags::none;
    if (modifiers.contains(KeyModifiers::command)) flags |= EventFlags::command;
    if (modifiers.contains(KeyModifiers::option)) flags |= EventFlags::alternate;
    if (modifiers.contains(KeyModifiers::control)) flags |= EventFlags::control;
    if (modifiers.contains(KeyModifiers::shift)) flags |= EventFlags::shift;
    return flags;
}

GestureShortcut gestureShortcut(SystemGesture gesture) {
    switch (gesture) {
        case SystemGesture::missionControl: return {126, KeyModifiers::control};  // up arrow
        case SystemGesture::appExpose: return {125, KeyModifiers::control};       // down arrow
        case SystemGesture::spaceLeft: return {123, KeyModifiers::control};       // left arrow
        case SystemGesture::spaceRight: return {124, KeyModifiers::control};      // right arrow
        case SystemGesture::showDesktop: return {103, KeyModifiers{}};           // F11
    }
    return {};
}

void postScreenLockChord(InputEvents& events) {
    auto source = events.createSource();
    const uint64_t flags = EventFlags::control | EventFlags::command;
    for (bool down : {true, false}) {
        if (auto event = events.createKeyboardEvent(source.get(), 12, down)) {  // Q
            event->flags = flags;
            events.post(*event);
        }
    }
}

void InputInjector::handle(const KeyEvent& key) {
    // Passed through as it is: no pairing, a key-down stays down until its key-up.
    auto event = events_->createKeyboardEvent(source_.get(), key.keyCode, key.isDown);
    if (!event) return;
    event->flags = eventFlags(key.modifiers);
    events_->post(*event);
}

void InputInjector::handle(SystemGesture gesture) {
    auto s = gestureShortcut(gesture);
    shortcut(s.keyCode, s.modifiers);
}

void InputInjector::shortcut(uint16_t keyCode, KeyModifiers modifiers) {
    postKeyPair(keyCode, eventFlags(modifiers));
}

void InputInjector::postKeyPair(uint16_t keyCode, uint64_t flags) {
    // The up event is posted even when the down one could not be created.
    for (bool down : {true, false}) {
        if (auto event = events_->createKeyboardEvent(source_.get(), keyCode, down)) {
            event->flags = flags;
            events_->post(*event);
        }
    }
}

void InputInjector::handle(const TextInput& text) {
    if (!text.modifiers.isEmpty()) {
        // A shortcut typed on the phone: only the first character counts, looked up in
        // lower case, and no shift is added for an upper-case letter.
        auto first = TextCodec::firstScalar(TextCodec::asciiLowercased(text.text));
        if (!first) return;
        auto keyCode = KeyMap::keyCode(*first);
        if (!keyCode) return;
        postKeyPair(*keyCode, eventFlags(text.modifiers));
        return;
    }
    std::u16string units = TextCodec::utf16(text.text);
    if (units.empty()) return;
    // One down and one up event carry the whole text, however long.
    auto down = events_->createKeyboardEvent(source_.get(), 0, true);
    auto up = events_->createKeyboardEvent(source_.get(), 0, false);
    if (!down || !up) return;
    down->unicode = units;
    up->unicode = std::move(units);
    down->flags = EventFlags::none;
    up->flags = EventFlags::none;
    events_->post(*down);
    events_->post(*up);
}

}  // namespace df
