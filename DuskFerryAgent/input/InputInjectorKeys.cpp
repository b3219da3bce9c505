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
    if (closed_) return;
    // Passed through as it is: no pairing, a key-down stays down until its key-up.
    auto event = events_->createKeyboardEvent(source_.get(), key.keyCode, key.isDown);
    if (!event) return;
    event->flags = eventFlags(key.modifiers);
    emit(std::move(*event));
}

void InputInjector::handle(SystemGesture gesture) {
    if (closed_) return;
    // The Mac's shortcuts for these mean other things here (F11 is full screen,
    // Control+arrow moves by word), so each gesture asks this desktop for its own action.
    auto windowManager = [this](std::function<void(WindowServices&)> request) {
        if (!windows_) return;
        axQueue_->post([windows = windows_, request = std::move(request)] { request(*windows); });
    };
    switch (gesture) {
        case SystemGesture::showDesktop:
            windowManager([](WindowServices& w) { (void)w.toggleShowingDesktop(); });
            break;
        case SystemGesture::spaceLeft:
            windowManager([](WindowServices& w) { (void)w.switchDesktop(-1); });
            break;
        case SystemGesture::spaceRight:
            windowManager([](WindowServices& w) { (void)w.switchDesktop(1); });
            break;
        case SystemGesture::missionControl:
        case SystemGesture::appExpose: {
            std::string chord = gestureChord_ ? gestureChord_(gesture) : std::string();
            if (chord.empty()) chord = defaultGestureChord;
            emitWork([chord = std::move(chord)](InputEvents& events) { (void)events.pressKeyChord(chord); });
            break;
        }
    }
}

void InputInjector::shortcut(uint16_t keyCode, KeyModifiers modifiers) {
    postKeyPair(keyCode, eventFlags(modifiers));
}

void InputInjector::postKeyPair(uint16_t keyCode, uint64_t flags) {
    // The up event is posted even when the down one could not be created.
    for (bool down : {true, false}) {
        if (auto event = events_->createKeyboardEvent(source_.get(), keyCode, down)) {
            event->flags = flags;
            emit(std::move(*event));
        }
    }
}

void InputInjector::handle(const TextInput& text) {
    if (closed_) return;
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
    if (TextCodec::scalarCount(text.text) > maxTextLength) return;  // refused whole
    std::u16string units = TextCodec::utf16(text.text);
    if (units.empty()) return;
    if (typing_->pendingUnits.load() + units.size() > maxPendingText) return;
    // One down and one up event carry the whole text, however long.
    auto down = events_->createKeyboardEvent(source_.get(), 0, true);
    auto up = events_->createKeyboardEvent(source_.get(), 0, false);
    if (!down || !up) return;
    const size_t count = units.size();
    down->unicode = units;
    up->unicode = std::move(units);
    down->flags = EventFlags::none;
    up->flags = EventFlags::none;
    // Typed on the typing queue: the host may take a while for a long text.
    enqueueTyping(
        [down = std::move(*down), up = std::move(*up)](InputEvents& events) {
            events.post(down);
            events.post(up);
        },
        count);
}

}  // namespace df
