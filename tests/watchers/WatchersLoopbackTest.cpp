// The session's watchers for real: the agent server with the X11 clipboard, active window,
// RandR and cursor services on the test X display ($DISPLAY, an Xvfb with a window manager),
// the reference phone client over loopback, and independent X clients: xclip copies and
// pastes, xdotool activates windows, xrandr changes the screen, and a test window sets
// cursors. Skipped without the display or the tools, failed under CI=true.

// GoogleTest before any X header, whose macros (None, Bool) would clash with its names.
#include "tests/session/StreamLoopback.h"

#include "platform/linux/clipboard/X11Pasteboard.h"
#include "platform/linux/cursor/XFixesSystemCursor.h"
#include "platform/linux/screens/RandrScreenParameters.h"
#include "platform/linux/workspace/EwmhWorkspace.h"
#include "tests/input/XTestWindow.h"
#include "tests/support/ChildProcess.h"

#include <X11/Xcursor/Xcursor.h>
#include <X11/cursorfont.h>
#include <X11/extensions/Xfixes.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace df {
namespace {

using namespace std::chrono_literals;
using namespace testsupport;

/// A text of `bytes` UTF-8 bytes with ASCII, Latin-1 and CJK characters.
std::string mixedText(size_t bytes) {
    const std::string pieces[] = {"copied on the phone ", "ü", "漢字", "\n"};
    std::string out;
    for (size_t i = 0; out.size() + pieces[i % 4].size() <= bytes; ++i) out += pieces[i % 4];
    out.append(bytes - out.size(), '.');
    return out;
}

class WatchersLoopbackTest : public StreamLoopback {
protected:
    void SetUp() override {
        DF_REQUIRE_SERVICE(std::getenv("DISPLAY"), "an X display ($DISPLAY)");
        DF_REQUIRE_TOOL("xclip");
        DF_REQUIRE_TOOL("xdotool");
        DF_REQUIRE_TOOL("xrandr");
        // Two applications known by their desktop entries: one by its window class, the other
        // by its desktop file ID.
        const auto apps = dir / "data" / "applications";
        std::filesystem::create_directories(apps);
        std::ofstream(apps / "org.example.WatchOne.desktop")
            << "[Desktop Entry]\nType=Application\nName=Watch One\nName[de]=Uhr Eins\nExec=watch-one\n"
               "StartupWMClass=DfWatchOne\n";
        std::ofstream(apps / "dfwatchtwo.desktop") << "[Desktop Entry]\nType=Application\nName=Watch Two\nExec=watch-two %U\n";
        withCapture = false;
        moreServices = [this](SessionServices& s) {
            s.pasteboard = pasteboard = createX11Pasteboard();
            s.workspace = createEwmhWorkspace({dir / "data"}, {"en-GB"});
            s.screenParameters = createRandrScreenParameters();
            s.cursor = createXFixesSystemCursor();
            ASSERT_TRUE(s.pasteboard && s.workspace && s.screenParameters && s.cursor);
        };
        startServer(false);
    }

    std::shared_ptr<phone::PhoneClient> connectPhone() {
        auto client = startPhone(phone::PhoneOptions{});
        EXPECT_TRUE(client);
        EXPECT_TRUE(waitForLine("authenticated", 30));
        return client;
    }
    std::vector<std::string> linesStarting(const std::string& prefix) {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const auto& l : lines)
            if (l.starts_with(prefix)) out.push_back(l);
        return out;
    }
    bool waitForCount(const std::string& prefix, size_t n, double seconds) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
            return static_cast<size_t>(std::ranges::count_if(lines, [&](const auto& l) { return l.starts_with(prefix); })) >= n;
        });
    }
    std::unique_ptr<Background> xclipCopies(const std::string& text) {
        const auto file = dir / ("copy" + std::to_string(copies++));
        std::ofstream(file, std::ios::binary) << text;
        return std::make_unique<Background>(std::vector<std::string>{"xclip", "-quiet", "-selection", "clipboard"},
                                            std::vector<std::string>{}, file.string(), true);
    }
    /// What xclip pastes, once it equals `expected` or after 10 s.
    std::optional<std::string> pasteUntil(const std::string& expected) {
        std::optional<std::string> out;
        for (int i = 0; i < 100; ++i) {
            out = runOutput("xclip -o -selection clipboard 2>/dev/null");
            if (out == expected) break;
            std::this_thread::sleep_for(100ms);
        }
        return out;
    }

    std::shared_ptr<Pasteboard> pasteboard;
    int copies = 0;
};

TEST_F(WatchersLoopbackTest, ClipboardTravelsBothWaysWithoutEchoAndOutlivesThePhone) {
    auto before = xclipCopies("copied before the phone came");
    for (int i = 0; i < 100 && runOutput("xclip -o -selection clipboard 2>/dev/null") != "copied before the phone came"; ++i)
        std::this_thread::sleep_for(50ms);
    auto client = connectPhone();
    ASSERT_TRUE(client);

    auto copy = xclipCopies("from xclip, grüß dich ✓");
    ASSERT_TRUE(waitForLine("clipboard ", 10));
    EXPECT_EQ(field(linesStarting("clipboard "), "clipboard", "bytes"), std::to_string(std::string("from xclip, grüß dich ✓").size()));
    EXPECT_NE(linesStarting("clipboard ").front().find("text=\"from xclip, grüß dich ✓\""), std::string::npos);

    for (const std::string& text : {std::string("Ünïcødé from the phone 📱"), mixedText(200 * 1024)}) {
        client->sendInput(ControlMessage(ClipboardSync(text)));
        const auto pasted = pasteUntil(text);
        ASSERT_TRUE(pasted);
        EXPECT_EQ(pasted->size(), text.size());
        EXPECT_TRUE(*pasted == text) << text.size() << " bytes";
    }
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(std::ranges::count(statuses, "Clipboard received"), 2);
    }
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(linesStarting("clipboard ").size(), 1u) << "the phone's texts came back";

    ASSERT_TRUE(leaveAndWait(*client));
    EXPECT_EQ(pasteUntil(mixedText(200 * 1024))->size(), 200u * 1024) << "the text left with the phone";
}

TEST_F(WatchersLoopbackTest, EachActivationNamesItsApplication) {
    const char* display = std::getenv("DISPLAY");
    XTestWindow one(display, 100, 100, 200, 150, 0, "DfWatchOne");
    XTestWindow two(display, 400, 100, 200, 150, 0, "dfwatchtwo");
    ASSERT_TRUE(one.ok() && two.ok());
    const auto activate = [](const XTestWindow& w) {
        return std::system(("xdotool windowactivate --sync " + std::to_string(w.id()) + " >/dev/null 2>&1").c_str());
    };
    ASSERT_EQ(activate(two), 0);
    auto client = connectPhone();
    ASSERT_TRUE(client);
    ASSERT_TRUE(waitForCount("frontApp ", 1, 10));
    ASSERT_EQ(activate(one), 0);
    ASSERT_EQ(activate(two), 0);
    ASSERT_TRUE(waitForCount("frontApp ", 3, 10));
    const auto apps = linesStarting("frontApp ");
    EXPECT_EQ(apps[0], "frontApp name=\"Watch Two\" bundleID=\"dfwatchtwo\"");
    EXPECT_EQ(apps[1], "frontApp name=\"Watch One\" bundleID=\"org.example.WatchOne\"");
    EXPECT_EQ(apps[2], "frontApp name=\"Watch Two\" bundleID=\"dfwatchtwo\"");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(linesStarting("frontApp ").size(), 3u);
    ASSERT_TRUE(leaveAndWait(*client));
}

TEST_F(WatchersLoopbackTest, CursorsSetByAWindowReachThePhoneAsShapes) {
    const char* displayName = std::getenv("DISPLAY");
    XTestWindow window(displayName, 50, 50, 300, 300, 0, "DfCursorWindow");
    ASSERT_TRUE(window.ok());
    ASSERT_EQ(std::system(("xdotool mousemove --window " + std::to_string(window.id()) + " 150 150").c_str()), 0);
    auto client = connectPhone();
    ASSERT_TRUE(client);

    Display* d = XOpenDisplay(displayName);
    ASSERT_NE(d, nullptr);
    const auto named = [d](unsigned shape, const char* name) {
        Cursor c = XCreateFontCursor(d, shape);
        XFixesSetCursorName(d, c, name);
        return c;
    };
    // A cursor without a name, drawn from the theme's crosshair picture.
    XcursorImage* crossImage = XcursorLibraryLoadImage("crosshair", XcursorGetTheme(d), XcursorGetDefaultSize(d));
    struct Step {
        Cursor cursor;
        const char* shape;
    };
    const std::vector<Step> steps{{named(XC_xterm, "text"), "iBeam"},
                                  {named(XC_hand2, "pointer"), "pointingHand"},
                                  {named(XC_sb_h_double_arrow, "col-resize"), "resizeLeftRight"},
                                  {named(XC_fleur, "grabbing"), "openHand"},
                                  {named(XC_left_ptr, "left_ptr"), "arrow"},
                                  {crossImage ? XcursorImageLoadCursor(d, crossImage) : None, "crosshair"}};
    size_t expected = 0;
    for (const auto& step : steps) {
        if (step.cursor == None) {
            ADD_FAILURE() << "no cursor theme draws a crosshair";
            continue;
        }
        XDefineCursor(d, window.id(), step.cursor);
        XFlush(d);
        ASSERT_TRUE(waitForCount("cursorShape ", ++expected, 10)) << step.shape;
        EXPECT_EQ(linesStarting("cursorShape ").back(), std::string("cursorShape shape=") + step.shape);
    }
    if (crossImage) XcursorImageDestroy(crossImage);
    XCloseDisplay(d);
    ASSERT_TRUE(leaveAndWait(*client));
}

TEST_F(WatchersLoopbackTest, RandRChangeSendsANewHelloAck) {
    auto client = connectPhone();
    ASSERT_TRUE(client);
    const auto acks = linesStarting("helloAck ").size();
    const auto screen = field(linesStarting("helloAck "), "helloAck", "screen");
    ASSERT_TRUE(screen);
    // Xvfb's screen cannot change size, but a new resolution (dots per inch) is a RandR
    // screen change all the same.
    ASSERT_EQ(std::system(("xrandr --fb " + *screen + " --dpi 120").c_str()), 0);
    EXPECT_TRUE(waitForCount("helloAck ", acks + 1, 10));
    ASSERT_EQ(std::system("xrandr --dpi 96"), 0);
    ASSERT_TRUE(leaveAndWait(*client));
    EXPECT_EQ(field(linesStarting("helloAck "), "helloAck", "screen"), screen);
}

}  // namespace
}  // namespace df
