// The session's watchers on fakes and a manual clock: the clipboard both ways (what was there
// before is not sent, echoes are suppressed, 256 KiB is the limit and a longer text is not
// retried), the front application, the debounced display resynchronisation with its force
// rule, the cursor's shape, and nothing from any of them once the session closed.

#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/input/BrandCursorShape.h"
#include "DuskFerryAgent/input/CursorShapeWatcher.h"
#include "DuskFerryAgent/session/AgentSession.h"
#include "DuskFerryAgent/session/ClipboardWatcher.h"
#include "DuskFerryAgent/session/FrontAppWatcher.h"
#include "DuskFerryAgent/session/ScreenWatcher.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/fake/cursor/FakeSystemCursor.h"
#include "platform/fake/displays/FakeDisplays.h"
#include "platform/fake/keychain/MemoryAgentKeychain.h"
#include "platform/fake/pasteboard/FakePasteboard.h"
#include "platform/fake/queue/ManualQueue.h"
#include "platform/fake/screens/FakeScreenParameters.h"
#include "platform/fake/workspace/FakeWorkspace.h"
#include "tests/session/SessionTestSupport.h"

#include <gmock/gmock.h>

namespace df {
namespace {

using ::testing::ElementsAre;

class SessionWatchersTest : public ::testing::Test {
protected:
    void SetUp() override {
        displays->setDisplays({{7, "screen", {0, 0, 2560, 1440}, true, 60}});
        phoneKeys = DeviceAuth::generateKeyPair();
        conn->start(queue);
        pasteboard->changeQuietly("copied before the phone came");
        workspace->setFront(RunningApplication{"Files", "org.gnome.Nautilus"});
    }
    void TearDown() override {
        if (session) session->close();
        queue->advance(20);
        main->advance(20);
        run();
    }
    void run() {
        for (int i = 0; i < 3; ++i) {
            queue->runUntilIdle();
            main->runUntilIdle();
        }
    }
    void authenticate() {
        ASSERT_TRUE(trust->trust("PHONE-1", "Phone", phoneKeys.publicKey));
        SessionServices s;
        s.mainQueue = main;
        s.trust = trust;
        s.l10n = l10n;
        s.displays = target;
        s.pasteboard = pasteboard;
        s.workspace = workspace;
        s.screenParameters = screens;
        s.cursor = cursor;
        session = AgentSession::create(
            conn, queue, [this](const std::string& t) { statuses.push_back(t); }, {}, {}, s);
        session->start(testsupport::frame(Hello("Phone", 1, std::nullopt, "PHONE-1")));
        run();
        answerChallenge();
    }
    void answerChallenge() {
        Bytes nonce;
        for (auto& m : testsupport::sentMessages(*conn)) {
            if (auto* c = m.get<AuthChallenge>()) nonce = c->nonce;
        }
        auto key = DeviceAuth::authenticationKey(phoneKeys.privateKey, trust->macPublicKey());
        phoneSends(AuthResponse(DeviceAuth::response(*key, nonce)));
        ASSERT_EQ(session->authState(), AgentSession::AuthState::authed);
    }
    void phoneSends(const ControlMessage& m) {
        conn->feed(testsupport::frame(m));
        run();
    }
    template <typename T>
    std::vector<T> sent() {
        std::vector<T> out;
        for (auto& m : testsupport::sentMessages(*conn)) {
            if (auto* v = m.get<T>()) out.push_back(*v);
        }
        return out;
    }
    std::vector<std::string> clipboardTexts() {
        std::vector<std::string> out;
        for (auto& c : sent<ClipboardSync>()) out.push_back(c.text);
        return out;
    }
    long count(const std::string& status) const { return std::ranges::count(statuses, status); }

    fake::MemoryAgentKeychain keychain;
    std::shared_ptr<TrustStore> trust = std::make_shared<TrustStore>(keychain);
    std::shared_ptr<const L10n> l10n = std::make_shared<L10n>(std::vector<std::string>{"en"});
    std::shared_ptr<fake::ManualQueue> queue = std::make_shared<fake::ManualQueue>("duskferry.server");
    std::shared_ptr<fake::ManualQueue> main = std::make_shared<fake::ManualQueue>("main", queue->sharedClock());
    std::shared_ptr<fake::FakeDisplays> displays = std::make_shared<fake::FakeDisplays>();
    std::shared_ptr<DisplayTarget> target = std::make_shared<DisplayTarget>(displays);
    std::shared_ptr<fake::FakePasteboard> pasteboard = std::make_shared<fake::FakePasteboard>();
    std::shared_ptr<fake::FakeWorkspace> workspace = std::make_shared<fake::FakeWorkspace>();
    std::shared_ptr<fake::FakeScreenParameters> screens = std::make_shared<fake::FakeScreenParameters>();
    std::shared_ptr<fake::FakeSystemCursor> cursor = std::make_shared<fake::FakeSystemCursor>();
    DeviceAuth::KeyPair phoneKeys;
    std::shared_ptr<fake::FakeConnection> conn = fake::FakeConnection::make({"192.0.2.10", 50000});
    std::shared_ptr<AgentSession> session;
    std::vector<std::string> statuses;
};

// ---- Clipboard ----

TEST_F(SessionWatchersTest, ClipboardBeforeTheSessionIsNotSentCopiesAfterItAreOnceEach) {
    authenticate();
    pasteboard->notifyAgain();  // news without a change
    run();
    EXPECT_TRUE(clipboardTexts().empty());
    EXPECT_EQ(pasteboard->reads(), 0);

    for (std::optional<std::string> copied : {std::optional<std::string>("first"),
                                              std::optional<std::string>("first"),  // the same text again
                                              std::optional<std::string>(),         // an image: no text
                                              std::optional<std::string>(""), std::optional<std::string>("second")}) {
        pasteboard->copyFromApp(copied);
        run();
    }
    EXPECT_THAT(clipboardTexts(), ElementsAre("first", "second"));
    // Copies faster than the session queue reads: the latest text is what counts.
    pasteboard->copyFromApp("third");
    pasteboard->copyFromApp("fourth");
    run();
    EXPECT_THAT(clipboardTexts(), ElementsAre("first", "second", "fourth"));
}

TEST_F(SessionWatchersTest, PhoneClipboardIsWrittenReportedAndNotEchoed) {
    authenticate();
    phoneSends(ClipboardSync("from the phone ✓"));
    EXPECT_THAT(pasteboard->calls(), ElementsAre("clear", "set:from the phone ✓"));
    EXPECT_EQ(pasteboard->text(), "from the phone ✓");
    EXPECT_EQ(count("Clipboard received"), 1);
    pasteboard->notifyAgain();
    run();
    // The same text copied again on the computer is what the phone already has.
    pasteboard->copyFromApp("from the phone ✓");
    run();
    EXPECT_TRUE(clipboardTexts().empty());
    pasteboard->copyFromApp("new on the computer");
    run();
    EXPECT_THAT(clipboardTexts(), ElementsAre("new on the computer"));
}

TEST_F(SessionWatchersTest, RefusedWriteIsNotReportedAsReceived) {
    authenticate();
    pasteboard->refuseWrites(true);
    phoneSends(ClipboardSync("lost"));
    EXPECT_EQ(count("Clipboard received"), 0);
}

TEST_F(SessionWatchersTest, TextsUpTo256KiBAreSentLongerOnesConsumedAndNeverRetried) {
    authenticate();
    struct Case {
        std::string text;
        bool sent;
    };
    // "é" is two UTF-8 bytes: the limit counts bytes, not characters.
    const std::vector<Case> cases{{std::string(262144, 'a'), true},
                                  {std::string(262145, 'b'), false},
                                  {std::string(262142, 'c') + "é", true},
                                  {std::string(262143, 'd') + "é", false}};
    for (const auto& c : cases) {
        const auto before = clipboardTexts().size();
        pasteboard->copyFromApp(c.text);
        run();
        EXPECT_EQ(clipboardTexts().size(), before + (c.sent ? 1 : 0)) << c.text.size() << " bytes";
        const int reads = pasteboard->reads();
        pasteboard->notifyAgain();
        run();
        EXPECT_EQ(pasteboard->reads(), reads) << "a seen change is not read again";
    }
}

TEST_F(SessionWatchersTest, PhoneClipboardBeforeAuthenticationIsDropped) {
    SessionServices s;
    s.pasteboard = pasteboard;
    s.l10n = l10n;
    session = AgentSession::create(conn, queue, [this](const std::string& t) { statuses.push_back(t); }, {}, {}, s);
    session->start(testsupport::frame(Hello("Phone", 1, std::nullopt, "PHONE-1")));
    run();
    phoneSends(ClipboardSync("too early"));
    EXPECT_TRUE(pasteboard->calls().empty());
    EXPECT_EQ(pasteboard->observerCount(), 0u);
    EXPECT_EQ(count("Clipboard received"), 0);
}

// ---- Front application ----

TEST_F(SessionWatchersTest, FrontAppAtStartThenEveryActivation) {
    authenticate();
    workspace->activate(RunningApplication{"Terminal", "org.gnome.Terminal"});
    workspace->activate(std::nullopt);  // names no application
    workspace->activate(RunningApplication{"Files", "org.gnome.Nautilus"});
    workspace->activate(RunningApplication{"Files", "org.gnome.Nautilus"});
    run();
    EXPECT_THAT(sent<FrontApp>(), ElementsAre(FrontApp("Files", "org.gnome.Nautilus"),
                                              FrontApp("Terminal", "org.gnome.Terminal"),
                                              FrontApp("Files", "org.gnome.Nautilus"),
                                              FrontApp("Files", "org.gnome.Nautilus")));
}

// ---- Display changes ----

TEST_F(SessionWatchersTest, DisplayNewsIsDebouncedToOneResyncOneSecondAfterTheLast) {
    authenticate();
    const auto acks = sent<HelloAck>().size();
    for (int i = 0; i < 3; ++i) {
        screens->change();
        run();
        queue->advance(0.4);
    }
    // 0.99 s after the last news nothing ran yet; at 1 s one resync runs.
    queue->advance(0.59);
    run();
    EXPECT_EQ(sent<HelloAck>().size(), acks);
    queue->advance(0.02);
    run();
    EXPECT_EQ(sent<HelloAck>().size(), acks + 1);
    queue->advance(5);
    run();
    EXPECT_EQ(sent<HelloAck>().size(), acks + 1);
}

TEST_F(SessionWatchersTest, ResyncRestartsCaptureOnlyForANewSizeOrWhenForced) {
    authenticate();
    struct Step {
        const char* what;
        std::function<void()> act;
        std::pair<int64_t, int64_t> reported;
        bool restart;
    };
    const std::vector<Step> steps{
        {"same size", [&] { screens->change(); }, {2560, 1440}, false},
        {"new size",
         [&] {
             displays->setBounds(7, {0, 0, 1920, 1080});
             screens->change();
         },
         {1920, 1080}, true},
        // A forced request followed within its delay by unforced news stays forced, and runs
        // after the news' own delay.
        {"forced, then news",
         [&] {
             phoneSends(SelectDisplay(7));
             queue->advance(0.2);
             screens->change();
         },
         {1920, 1080}, true},
    };
    for (const auto& step : steps) {
        const auto acks = sent<HelloAck>().size();
        const auto restarts = count("Display changed, restarting capture…");
        step.act();
        run();
        queue->advance(0.99);
        run();
        EXPECT_EQ(sent<HelloAck>().size(), acks) << step.what;
        queue->advance(0.02);
        run();
        ASSERT_EQ(sent<HelloAck>().size(), acks + 1) << step.what;
        EXPECT_EQ(sent<HelloAck>().back().screenWidth, step.reported.first) << step.what;
        EXPECT_EQ(sent<HelloAck>().back().screenHeight, step.reported.second) << step.what;
        EXPECT_EQ(count("Display changed, restarting capture…"), restarts + (step.restart ? 1 : 0)) << step.what;
    }
}

// ---- Cursor shape ----

TEST_F(SessionWatchersTest, CursorShapeChangesReachThePhone) {
    authenticate();
    for (const char* name : {"left_ptr", "text", "xterm", "grabbing", "left_ptr"}) {
        cursor->show(fake::FakeSystemCursor::image(1, name));
        run();
    }
    std::vector<std::string> shapes;
    for (auto& c : sent<CursorShapeMsg>()) shapes.push_back(c.shape);
    EXPECT_THAT(shapes, ElementsAre("iBeam", "openHand", "arrow"));
}

// A hello again after authentication runs the handshake and begin() once more: the watchers
// are replaced, not doubled.
TEST_F(SessionWatchersTest, RepeatedBeginReplacesTheWatchers) {
    authenticate();
    phoneSends(Hello("Phone", 1, std::nullopt, "PHONE-1"));
    answerChallenge();
    EXPECT_EQ(pasteboard->observerCount(), 1u);
    EXPECT_EQ(workspace->observerCount(), 1u);
    EXPECT_EQ(screens->observerCount(), 1u);
    EXPECT_EQ(cursor->observerCount(), 1u);
    pasteboard->copyFromApp("once");
    cursor->show(fake::FakeSystemCursor::image(1, "text"));
    run();
    EXPECT_THAT(clipboardTexts(), ElementsAre("once"));
    EXPECT_EQ(sent<CursorShapeMsg>().size(), 1u);
}

// ---- Close ----

TEST_F(SessionWatchersTest, NothingIsSentAfterCloseAndTheHostIsNoLongerWatched) {
    authenticate();
    const auto front = sent<FrontApp>().size();
    session->close();
    run();
    EXPECT_EQ(pasteboard->observerCount(), 0u);
    EXPECT_EQ(workspace->observerCount(), 0u);
    EXPECT_EQ(screens->observerCount(), 0u);
    EXPECT_EQ(cursor->observerCount(), 0u);
    const auto before = testsupport::sentMessages(*conn).size();
    pasteboard->copyFromApp("later");
    workspace->activate(RunningApplication{"Later", "later"});
    screens->change();
    cursor->show(fake::FakeSystemCursor::image(2, "pointer"));
    run();
    queue->advance(5);
    run();
    EXPECT_EQ(testsupport::sentMessages(*conn).size(), before);
    EXPECT_EQ(sent<FrontApp>().size(), front);
}

// News the host gave just before a watcher stopped is on its way to the queue: it arrives to
// find the watcher stopped.
TEST(SessionWatcherStopTest, NewsOnItsWayWhenTheWatcherStopsIsDropped) {
    auto queue = std::make_shared<fake::ManualQueue>("duskferry.server");
    auto pasteboard = std::make_shared<fake::FakePasteboard>();
    auto workspace = std::make_shared<fake::FakeWorkspace>();
    auto screens = std::make_shared<fake::FakeScreenParameters>();
    int calls = 0;
    auto clipboard = ClipboardWatcher::start(pasteboard, queue, [&](const std::string&) { ++calls; });
    auto front = FrontAppWatcher::start(workspace, queue, [&](const RunningApplication&) { ++calls; });
    auto display = ScreenWatcher::start(screens, queue, [&] { ++calls; });
    pasteboard->copyFromApp("on its way");
    workspace->activate(RunningApplication{"App", "app"});
    screens->change();
    EXPECT_EQ(calls, 0);
    clipboard->stop();
    front->stop();
    display->stop();
    queue->runUntilIdle();
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(clipboard->receive("after stop"));
    EXPECT_TRUE(pasteboard->calls().empty());
}

// ---- The cursor-shape watcher on its own ----

TEST(CursorShapeWatcherTest, NamesOfThemesAndToolkitsMapOntoTheSevenShapes) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> table{
        {"left_ptr", "arrow"},        {"default", "arrow"},
        {"xterm", "iBeam"},           {"text", "iBeam"},
        {"vertical-text", "iBeam"},   {"hand2", "pointingHand"},
        {"pointer", "pointingHand"},  {"grab", "openHand"},
        {"openhand", "openHand"},     {"grabbing", "openHand"},
        {"closedhand", "openHand"},   {"sb_h_double_arrow", "resizeLeftRight"},
        {"col-resize", "resizeLeftRight"}, {"ew-resize", "resizeLeftRight"},
        {"w-resize", "resizeLeftRight"},   {"sb_v_double_arrow", "resizeUpDown"},
        {"ns-resize", "resizeUpDown"},     {"n-resize", "resizeUpDown"},
        {"row-resize", "resizeUpDown"},    {"crosshair", "crosshair"},
        {"cross", "crosshair"},       {"watch", std::nullopt},
        {"not-allowed", std::nullopt}};
    for (const auto& [name, shape] : table) EXPECT_EQ(CursorShapeWatcher::shapeForName(name), shape) << name;
}

TEST(CursorShapeWatcherTest, UnnamedCursorsAreRecognisedByTheStandardPictures) {
    auto main = std::make_shared<fake::ManualQueue>("main");
    auto cursor = std::make_shared<fake::FakeSystemCursor>();
    cursor->setStandard("xterm", {fake::FakeSystemCursor::image(0xff000010)});
    cursor->setStandard("hand2", {fake::FakeSystemCursor::image(0xff000020), fake::FakeSystemCursor::image(0xff000020, "", 8)});
    cursor->setStandard("closedhand", {fake::FakeSystemCursor::image(0xff000030)});
    // A theme that draws the crosshair like the I-beam: the later row names the picture.
    cursor->setStandard("cross", {fake::FakeSystemCursor::image(0xff000010)});
    std::vector<std::string> reports;
    auto watcher = CursorShapeWatcher::create(cursor, main, [&](const std::string& s) { reports.push_back(s); });
    struct Step {
        CursorImage shown;
        const char* expected;
    };
    auto shifted = fake::FakeSystemCursor::image(0xff000020, "", 8);
    shifted.xhot = 1;  // the same pixels with another hot spot are another picture
    const std::vector<Step> steps{{fake::FakeSystemCursor::image(0xff000020, "", 8), "pointingHand"},
                                  {fake::FakeSystemCursor::image(0xff000030), "openHand"},
                                  {fake::FakeSystemCursor::image(0xff000010), "crosshair"},
                                  {fake::FakeSystemCursor::image(0xff000011), "arrow"},
                                  {shifted, "arrow"},
                                  {fake::FakeSystemCursor::image(0xff000010, "custom-app-cursor"), "crosshair"}};
    for (const auto& step : steps) {
        cursor->show(step.shown);
        main->runUntilIdle();
        EXPECT_EQ(watcher->lastShape(), step.expected);
    }
    EXPECT_THAT(reports, ElementsAre("pointingHand", "openHand", "crosshair", "arrow", "crosshair"));
    cursor->show(std::nullopt);  // the host cannot tell: nothing changes
    main->runUntilIdle();
    watcher->stop();
    cursor->show(fake::FakeSystemCursor::image(0xff000030));
    main->runUntilIdle();
    EXPECT_EQ(reports.size(), 5u);
}

TEST(BrandCursorShapeTest, OutlineHangsFromTheTopLeftScaledByTheShorterSide) {
    struct Case {
        BrandCursorShape::Rect rect;
        BrandCursorShape::Point tip;
        BrandCursorShape::Point fourth;
    };
    const std::vector<Case> cases{{{0, 0, 48, 24}, {5, 2}, {12.4, 22}},
                                  {{10, 20, 48, 96}, {20, 24}, {34.8, 64}},
                                  {{0, 0, 12, 12}, {2.5, 1}, {6.2, 11}}};
    for (const auto& c : cases) {
        auto path = BrandCursorShape::path(c.rect);
        EXPECT_DOUBLE_EQ(path[0].x, c.tip.x);
        EXPECT_DOUBLE_EQ(path[0].y, c.tip.y);
        EXPECT_DOUBLE_EQ(path[3].x, c.fourth.x);
        EXPECT_DOUBLE_EQ(path[3].y, c.fourth.y);
    }
}

}  // namespace
}  // namespace df
