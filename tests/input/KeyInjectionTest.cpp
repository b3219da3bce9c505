// Keyboard side of the injector: key messages, typed text and shortcuts, gestures, KeyMap.
#include "DuskFerryAgent/input/KeyMap.h"
#include "InputTestSupport.h"

namespace df::testsupport {
namespace {

struct Posted {
    InputEvent::Type type;
    uint16_t keyCode;
    uint64_t flags;
    bool operator==(const Posted&) const = default;
};

std::vector<Posted> summary(const std::vector<InputEvent>& events) {
    std::vector<Posted> out;
    for (const auto& e : events) out.push_back({e.type, e.keyCode, e.flags.value_or(~0ull)});
    return out;
}

constexpr auto Down = InputEvent::Type::keyDown;
constexpr auto Up = InputEvent::Type::keyUp;
constexpr uint64_t Cmd = EventFlags::command;

TEST_F(InjectorTest, TextWithModifiersIsOneShortcutOfItsFirstCharacter) {
    struct Case {
        std::string text;
        uint8_t modifiers;
        std::vector<Posted> expected;
    };
    const std::vector<Case> cases{
        {"c", 1, {{Down, 8, Cmd}, {Up, 8, Cmd}}},
        {"Hello", 1, {{Down, 4, Cmd}, {Up, 4, Cmd}}},  // no shift added for the capital
        {"A", 1, {{Down, 0, Cmd}, {Up, 0, Cmd}}},
        {"v", 1 | 8, {{Down, 9, Cmd | EventFlags::shift}, {Up, 9, Cmd | EventFlags::shift}}},
        {"q", 4 | 2, {{Down, 12, EventFlags::control | EventFlags::alternate},
                      {Up, 12, EventFlags::control | EventFlags::alternate}}},
        {" ", 16 | 4, {{Down, 49, EventFlags::control}, {Up, 49, EventFlags::control}}},
        {"\xc3\xa9t\xc3\xa9", 1, {}},  // starts with é: no entry
        {"!", 1, {}},
        {"", 1, {}},
    };
    for (const auto& c : cases) {
        injector->handle(TextInput(c.text, KeyModifiers(c.modifiers)));
        EXPECT_EQ(summary(take()), c.expected) << c.text;
    }
}

TEST_F(InjectorTest, PlainTextIsOneDownUpPairCarryingEveryUtf16Unit) {
    struct Case {
        std::string text;
        std::u16string units;
    };
    const std::vector<Case> cases{
        {"Hello, world", u"Hello, world"},                      // 12 units
        {"caf\xc3\xa9 \xf0\x9f\x98\x80", u"caf\u00e9 \U0001F600"},  // emoji as a surrogate pair
        {"\xe4\xbd\xa0\xe5\xa5\xbd", u"\u4f60\u597d"},
    };
    for (const auto& c : cases) {
        injector->handle(TextInput(c.text, KeyModifiers()));
        typingQueue->runUntilIdle();
        auto e = take();
        ASSERT_EQ(summary(e), (std::vector<Posted>{{Down, 0, 0}, {Up, 0, 0}}));
        EXPECT_EQ(e[0].unicode, c.units);
        EXPECT_EQ(e[1].unicode, c.units);
    }
    EXPECT_EQ(std::u16string(u"caf\u00e9 \U0001F600").size(), 7u);
    injector->handle(TextInput("", KeyModifiers()));
    EXPECT_TRUE(take().empty());
    // When either event cannot be made nothing is typed.
    events->setRefuseCreation([](const InputEvent& e) { return e.type == Up; });
    injector->handle(TextInput("abc", KeyModifiers()));
    typingQueue->runUntilIdle();
    EXPECT_TRUE(take().empty());
}

TEST_F(InjectorTest, TextIsTypedOffTheSessionQueueAndWhatFollowsWaitsBehindIt) {
    injector->handle(TextInput("hello", KeyModifiers()));
    // The session queue is free again at once: typing happens on its own queue.
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(injector->typingPending(), 1u);
    // A Return and a click sent after the text must not overtake it.
    injector->handle(KeyEvent(36, true, KeyModifiers()));
    injector->handle(KeyEvent(36, false, KeyModifiers()));
    injector->handle(PointerEvent(PointerEvent::Kind::leftClick, 0, 0, 0.5, 0.5));
    EXPECT_TRUE(take().empty());
    typingQueue->runUntilIdle();
    EXPECT_EQ(types(take()), (std::vector<T>{Down, Up, Down, Up, T::mouseMoved, T::leftMouseDown, T::leftMouseUp}));
    EXPECT_EQ(injector->typingPending(), 0u);
    // With nothing left to type, events are posted straight away again.
    injector->handle(KeyEvent(36, true, KeyModifiers()));
    EXPECT_EQ(types(take()), (std::vector<T>{Down}));
    // Relative moves behind a text continue from where the last one will have put the
    // pointer, not from where the pointer still is.
    injector->handle(TextInput("x", KeyModifiers()));
    injector->handle(PointerEvent(PointerEvent::Kind::move, 10, 0));
    injector->handle(PointerEvent(PointerEvent::Kind::move, 10, 0));
    typingQueue->runUntilIdle();
    auto e = take();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[3].location.x - e[2].location.x, 10);
}

TEST_F(InjectorTest, OneTextTypesAtMost4096CharactersAndTheBacklogIsBounded) {
    struct Case {
        std::string text;
        bool typed;
    };
    const std::string emoji = "\xf0\x9f\x98\x80";  // one character, two UTF-16 units
    std::string emojis;
    for (int i = 0; i < 4096; ++i) emojis += emoji;
    const std::vector<Case> cases{
        {std::string(4096, 'a'), true},
        {std::string(4097, 'a'), false},  // refused whole, not typed in part
        {emojis, true},                    // characters are counted, not UTF-16 units
        {emojis + "a", false},
        {std::string(1 << 20, 'a'), false},
    };
    for (const auto& c : cases) {
        injector->handle(TextInput(c.text, KeyModifiers()));
        typingQueue->runUntilIdle();
        EXPECT_EQ(take().size(), c.typed ? 2u : 0u) << c.text.size() << " bytes";
    }
    // A phone sending texts faster than they are typed: what would wait beyond the bound is
    // dropped instead of piling up.
    for (int i = 0; i < 40; ++i) injector->handle(TextInput(std::string(4096, 'b'), KeyModifiers()));
    EXPECT_EQ(injector->typingPending(), InputInjector::maxPendingText / 4096);
    typingQueue->runUntilIdle();
    EXPECT_EQ(take().size(), 2 * InputInjector::maxPendingText / 4096);
    injector->handle(TextInput("c", KeyModifiers()));
    typingQueue->runUntilIdle();
    EXPECT_EQ(take().size(), 2u);
}

TEST_F(InjectorTest, CloseReleasesHeldInputStopsMomentumAndPostsNothingMore) {
    injector->handle(KeyEvent(56, true, KeyModifiers()));
    injector->handle(PointerEvent(PointerEvent::Kind::leftDown, 0, 0, 0.5, 0.5));
    injector->handle(ScrollEvent(0, 5, ScrollEvent::Phase::began));
    injector->handle(ScrollEvent(0, 0, ScrollEvent::Phase::ended, 0, -3000));
    ASSERT_TRUE(injector->momentumRunning());
    take();

    injector->close();
    EXPECT_EQ(events->releaseHeldInputCalls(), 1u);
    EXPECT_FALSE(injector->momentumRunning());
    momentumQueue->advance(1.0);
    eventQueue->advance(1.0);
    injector->handle(KeyEvent(0, true, KeyModifiers()));
    injector->handle(PointerEvent(PointerEvent::Kind::leftClick, 0, 0, 0.5, 0.5));
    injector->handle(ScrollEvent(0, 0, ScrollEvent::Phase::ended, 0, -3000));
    injector->handle(TextInput("late", KeyModifiers()));
    typingQueue->runUntilIdle();
    EXPECT_TRUE(take().empty());
    injector->close();
    injector.reset();
    EXPECT_EQ(events->releaseHeldInputCalls(), 1u);
}

TEST_F(InjectorTest, CloseWhileTypingReleasesAfterTheTextAndDropsWhatWaits) {
    injector->handle(TextInput("first", KeyModifiers()));
    injector->handle(TextInput("second", KeyModifiers()));
    injector->close();
    EXPECT_EQ(events->releaseHeldInputCalls(), 0u);  // behind what the typing queue holds
    typingQueue->runUntilIdle();
    EXPECT_TRUE(take().empty());  // the phone is gone: its waiting text is not typed
    EXPECT_EQ(events->releaseHeldInputCalls(), 1u);
}

TEST_F(InjectorTest, KeyMessagesPassThroughWithExactlyTheirFlags) {
    struct Case {
        KeyEvent key;
        Posted expected;
    };
    const std::vector<Case> cases{
        {KeyEvent(0, true, KeyModifiers(1 | 8)), {Down, 0, Cmd | EventFlags::shift}},
        {KeyEvent(56, true, KeyModifiers()), {Down, 56, 0}},  // shift itself carries no shift flag
        {KeyEvent(56, false, KeyModifiers()), {Up, 56, 0}},
        {KeyEvent(40, true, KeyModifiers(2 | 64 | 128)), {Down, 40, EventFlags::alternate}},
        {KeyEvent(999, false, KeyModifiers(4)), {Up, 999, EventFlags::control}},
    };
    for (const auto& c : cases) {
        injector->handle(c.key);
        EXPECT_EQ(summary(take()), (std::vector<Posted>{c.expected}));
    }
}

TEST_F(InjectorTest, GesturesAskTheWindowManagerOrPressTheChordOfTheirSetting) {
    struct Case {
        SystemGesture gesture;
        int showDesktopToggles;
        std::vector<int> desktopSwitches;
        std::vector<std::string> chords;
    };
    const std::vector<Case> cases{
        {SystemGesture::showDesktop, 1, {}, {}},
        {SystemGesture::spaceLeft, 0, {-1}, {}},
        {SystemGesture::spaceRight, 0, {1}, {}},
        {SystemGesture::missionControl, 0, {}, {"Super"}},     // nothing stored: the default
        {SystemGesture::appExpose, 0, {}, {"Control+Alt+Down"}},  // as the setting says
    };
    for (const auto& c : cases) {
        auto ev = std::make_shared<fake::FakeInputEvents>();
        auto wm = std::make_shared<fake::FakeWindowServices>();
        InputInjector::Services services{ev, wm, displays, axQueue, momentumQueue, typingQueue};
        services.gestureChord = [](SystemGesture g) {
            return g == SystemGesture::appExpose ? std::string("Control+Alt+Down") : std::string();
        };
        auto i = InputInjector::create(eventQueue, services);
        i->handle(c.gesture);
        axQueue->runUntilIdle();
        EXPECT_EQ(wm->showingDesktopToggles(), c.showDesktopToggles);
        EXPECT_EQ(wm->desktopSwitches(), c.desktopSwitches);
        EXPECT_EQ(ev->chords(), c.chords);
        // None of them posts the Mac's shortcut (F11 is full screen here, Control+arrow
        // moves by word).
        EXPECT_TRUE(ev->events().empty());
    }
    // A chord after a text still being typed waits for it.
    injector->handle(TextInput("abc", KeyModifiers()));
    injector->handle(SystemGesture::missionControl);
    EXPECT_TRUE(events->chords().empty());
    typingQueue->runUntilIdle();
    EXPECT_EQ(events->chords(), (std::vector<std::string>{"Super"}));
}

TEST_F(InjectorTest, ShortcutStillReleasesWhenTheDownEventIsRefused) {
    events->setRefuseCreation([](const InputEvent& e) { return e.type == Down; });
    injector->shortcut(8, KeyModifiers::command);
    EXPECT_EQ(summary(take()), (std::vector<Posted>{{Up, 8, Cmd}}));
}

TEST(ScreenLockChord, IsControlCommandQDownAndUp) {
    fake::FakeInputEvents events;
    postScreenLockChord(events);
    const uint64_t f = EventFlags::control | EventFlags::command;
    EXPECT_EQ(summary(events.events()), (std::vector<Posted>{{Down, 12, f}, {Up, 12, f}}));
    EXPECT_TRUE(events.events()[0].hasSource);
}

TEST(KeyMap, HoldsTheFortyEightUnshiftedAnsiCharacters) {
    EXPECT_EQ(KeyMap::table().size(), 48u);
    const std::vector<std::pair<char32_t, uint16_t>> samples{
        {U'a', 0}, {U'c', 8}, {U'b', 11}, {U'q', 12}, {U'1', 18}, {U'5', 23}, {U'=', 24},
        {U']', 30}, {U'l', 37}, {U'\'', 39}, {U'\\', 42}, {U'.', 47}, {U' ', 49}, {U'`', 50}};
    for (auto [ch, code] : samples) EXPECT_EQ(KeyMap::keyCode(ch), std::optional<uint16_t>(code));
    for (char32_t ch : {U'A', U'!', U'\u00e9', U'\t', U'~'}) EXPECT_FALSE(KeyMap::keyCode(ch).has_value());
}

}  // namespace
}  // namespace df::testsupport
