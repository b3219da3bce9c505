// The agent program on a desktop: a private Xvfb with openbox and an XEmbed system tray
// (trayer). Started as from the login, it shows its tray icon and no panel; a click on the
// icon opens the panel; a real pairing from the reference phone raises the approval dialog,
// whose default button (Return) trusts the phone.

#include "tests/support/AgentProcess.h"
#include "tests/support/PrivateXvfb.h"
#include "tests/support/RequireService.h"
#include "tests/support/TempDir.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace df {
namespace {

using namespace std::chrono_literals;
using testsupport::AgentProcess;

// A helper program on the test's display, in a process group of its own; ends with the object.
class Helper {
public:
    Helper(const std::vector<std::string>& argv, const std::string& display) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::setenv("DISPLAY", display.c_str(), 1);
            int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0) {
                ::dup2(null, 1);
                ::dup2(null, 2);
            }
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            std::_Exit(127);
        }
    }
    ~Helper() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGTERM);
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    /// Waits for the program to end; its exit status, or -1.
    int wait(std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(50ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
};

struct Window {
    ::Window id = 0;
    int width = 0;
    int height = 0;
};

// Every mapped window of the agent (WM_CLASS "Brevox"), anywhere in the tree.
std::vector<Window> agentWindows(Display* display) {
    std::vector<Window> out;
    std::vector<::Window> pending = {DefaultRootWindow(display)};
    while (!pending.empty()) {
        ::Window w = pending.back();
        pending.pop_back();
        ::Window root, parent, *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(display, w, &root, &parent, &children, &count)) {
            for (unsigned i = 0; i < count; ++i) pending.push_back(children[i]);
            if (children) XFree(children);
        }
        XClassHint hint{};
        if (!XGetClassHint(display, w, &hint)) continue;
        const bool ours = hint.res_class && std::string(hint.res_class) == "Brevox";
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        XWindowAttributes a;
        if (ours && XGetWindowAttributes(display, w, &a) && a.map_state == IsViewable)
            out.push_back({w, a.width, a.height});
    }
    return out;
}

template <typename F>
std::optional<Window> waitForWindow(Display* display, F match, std::chrono::seconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        for (const auto& w : agentWindows(display))
            if (match(w)) return w;
        std::this_thread::sleep_for(100ms);
    }
    return std::nullopt;
}

int xdotool(const std::string& display, const std::string& args) {
    return std::system(("DISPLAY=" + display + " xdotool " + args + " >/dev/null 2>&1").c_str());
}

bool isIcon(const Window& w) {
    return w.width <= 48 && w.height <= 48;
}
bool isPanel(const Window& w) {
    return w.width == 340;
}

TEST(DesktopShellTest, TrayIconOpensThePanelAndTheDialogApprovesARealPhone) {
    DF_REQUIRE_TOOL("openbox");
    DF_REQUIRE_TOOL("trayer");
    DF_REQUIRE_TOOL("xdotool");
    testsupport::Xvfb xvfb({1280, 800});
    DF_REQUIRE_SERVICE(!xvfb.name().empty(), "Xvfb");
    const std::string display = xvfb.name();
    Display* x = XOpenDisplay(display.c_str());
    ASSERT_NE(x, nullptr);

    Helper wm({"openbox"}, display);
    Helper tray({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                 "--SetDockType", "true", "--transparent", "false"},
                display);
    const Atom trayAtom = XInternAtom(x, "_NET_SYSTEM_TRAY_S0", False);
    for (int i = 0; i < 100 && XGetSelectionOwner(x, trayAtom) == None; ++i) std::this_thread::sleep_for(50ms);
    ASSERT_NE(XGetSelectionOwner(x, trayAtom), static_cast<::Window>(None)) << "trayer owns no tray";

    testsupport::TempDir home;
    std::atomic<bool> connected{false};
    const uint16_t port = testsupport::freePort(SOCK_STREAM);
    AgentProcess agent(DF_AGENT_BIN, {}, home.path(), port, testsupport::freePort(SOCK_DGRAM), false, display,
                       [&connected](const std::string& line) {
                           if (line.rfind("Connected: ", 0) == 0) connected = true;
                       },
                       {}, {"--login-item"});
    const auto code = agent.waitForCode();
    ASSERT_TRUE(code.has_value());

    // A login launch: the icon in the tray, no panel.
    const auto icon = waitForWindow(x, isIcon);
    ASSERT_TRUE(icon.has_value()) << "no tray icon";
    std::this_thread::sleep_for(500ms);
    for (const auto& w : agentWindows(x)) EXPECT_FALSE(isPanel(w)) << "the panel opened at a login launch";

    // A click on the icon opens the panel.
    ASSERT_EQ(xdotool(display, "mousemove --window " + std::to_string(icon->id) + " 8 8 click 1"), 0);
    const auto panel = waitForWindow(x, isPanel);
    ASSERT_TRUE(panel.has_value()) << "the panel did not open from the tray icon";

    // A new phone pairs: the dialog comes up, and Return (its default button) trusts it.
    Helper phone({DF_PHONE_BIN, "--host", "127.0.0.1", "--port", std::to_string(port), "--code", *code, "--name",
                  "Test Phone", "--identity-dir", (home.path() / "phone").string(), "--no-media", "--duration", "1"},
                 display);
    const auto dialog =
        waitForWindow(x, [&](const Window& w) { return !isIcon(w) && w.id != panel->id && !isPanel(w); }, 20s);
    ASSERT_TRUE(dialog.has_value()) << "no approval dialog";
    ASSERT_EQ(xdotool(display, "windowactivate " + std::to_string(dialog->id) + " sleep 0.3"), 0);
    ASSERT_EQ(xdotool(display, "key Return"), 0);
    EXPECT_EQ(phone.wait(20s), 0) << "the phone was not trusted";
    EXPECT_TRUE(connected.load());
    XCloseDisplay(x);
}

}  // namespace
}  // namespace df
