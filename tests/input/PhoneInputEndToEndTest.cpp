// The whole input path: the reference phone client pairs with the agent over real TLS on
// loopback, is approved on the agent's terminal, and sends input messages that the agent
// injects into the X server; the pointer is read back with xdotool and typed keys arrive
// at a test window.
#include <gtest/gtest.h>

#include "XTestWindow.h"
#include "tests/support/RequireService.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

extern char** environ;

namespace df::testsupport {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

uint16_t freePort(int type) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A child process with its own environment, standard input from a pipe and output to a file.
class Child {
public:
    Child(std::vector<std::string> argv, const std::vector<std::string>& env, const fs::path& output) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> args, envp;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        std::vector<std::string> envCopy = env;
        for (char** e = environ; *e; ++e) envCopy.emplace_back(*e);  // later entries lose to earlier
        for (auto& e : envCopy) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[0]);
        input_ = fds[1];
    }
    ~Child() {
        if (input_ >= 0) close(input_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            for (int i = 0; i < 300 && !exited(); ++i) std::this_thread::sleep_for(10ms);
            if (!exited()) kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool ok() const { return pid_ > 0; }
    void write(const std::string& text) { (void)!::write(input_, text.data(), text.size()); }
    bool exited() {
        if (done_) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            done_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
        }
        return done_;
    }
    int waitExit(std::chrono::milliseconds timeout) {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (!exited() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(20ms);
        return done_ ? status_ : -2;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    bool done_ = false;
    int status_ = -1;
};

// The agent program on loopback with a home of its own, approving the phone on its terminal.
class PhoneInputEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        display = std::getenv("DISPLAY");
        if (!display || !*display) {
            if (testsupport::underCI()) FAIL() << "no X display under CI";
            GTEST_SKIP() << "no X display";
        }
        fs::remove_all(home);
        fs::create_directories(home);
        agent = std::make_unique<Child>(std::vector<std::string>{DF_AGENT_BIN, "--headless", "--port",
                                                                 std::to_string(port), "--quic-port",
                                                                 std::to_string(quicPort)},
                                        env, home / "agent.log");
        ASSERT_TRUE(agent->ok());
        agent->write("y\n");  // approve the phone when the agent asks
        const std::regex sixDigits(R"(\b(\d{6})\b)");
        for (int i = 0; i < 500 && code.empty(); ++i) {
            std::smatch m;
            std::string log = readFile(home / "agent.log");
            if (std::regex_search(log, m, sixDigits)) code = m[1];
            else std::this_thread::sleep_for(10ms);
        }
        ASSERT_EQ(code.size(), 6u) << readFile(home / "agent.log");
        std::this_thread::sleep_for(300ms);  // the listener starts after the code is shown
    }
    void TearDown() override {
        agent.reset();
        fs::remove_all(home);
    }

    /// Runs the phone with a script of timed messages until it is done; its exit status.
    int runPhone(const std::string& script) {
        std::ofstream(home / "script.jsonl") << script;
        Child phone({DF_PHONE_BIN, "--host", "127.0.0.1", "--port", std::to_string(port), "--code", code, "--name",
                     "E2E Phone", "--identity-dir", (home / "phone").string(), "--no-media", "--script",
                     (home / "script.jsonl").string()},
                    env, home / "phone.log");
        if (!phone.ok()) return -1;
        return phone.waitExit(30s);
    }
    std::string logs() { return readFile(home / "phone.log") + "\n--- agent ---\n" + readFile(home / "agent.log"); }

    const char* display = nullptr;
    const fs::path home = fs::temp_directory_path() / ("df-input-e2e-" + std::to_string(getpid()));
    const std::vector<std::string> env{"HOME=" + home.string(), "XDG_CONFIG_HOME=" + (home / "config").string(),
                                       "XDG_DATA_HOME=" + (home / "data").string(), "LANG=C"};
    const uint16_t port = freePort(SOCK_STREAM), quicPort = freePort(SOCK_DGRAM);
    std::unique_ptr<Child> agent;
    std::string code;
};

TEST_F(PhoneInputEndToEnd, AnAuthenticatedPhoneMovesThePointerAndTypesIntoTheFocusedWindow) {
    // a behind b; the phone clicks the part of a that b leaves free.
    XTestWindow a(display, 100, 100, 600, 400, 4000003, "df-e2e-a");
    XTestWindow b(display, 400, 250, 600, 400, 4000004, "df-e2e-b");
    ASSERT_TRUE(a.ok() && b.ok());
    b.activate();
    for (int i = 0; i < 200 && activeWindow(display) != b.id(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(stackingOrder(display).back(), b.id());

    Display* d = XOpenDisplay(display);
    const double width = DisplayWidth(d, DefaultScreen(d)), height = DisplayHeight(d, DefaultScreen(d));
    XCloseDisplay(d);
    const int clickX = 200, clickY = 300;
    auto nx = [&](double x) { return std::to_string(x / width); };
    auto ny = [&](double y) { return std::to_string(y / height); };
    std::ostringstream script;
    script << R"({"pointer":{"_0":{"kind":"move","dx":0,"dy":0,"absX":0.5,"absY":0.5,"ts":1}}})" << "\n"
           << R"({"delay":0.2,"pointer":{"_0":{"kind":"leftClick","dx":0,"dy":0,"absX":)" << nx(clickX)
           << R"(,"absY":)" << ny(clickY) << "}}}\n"
           << R"({"delay":0.5,"text":{"_0":{"text":"h\u00e9!","modifiers":0}}})" << "\n"
           << R"({"key":{"_0":{"keyCode":8,"isDown":true,"modifiers":1}}})" << "\n"
           << R"({"key":{"_0":{"keyCode":8,"isDown":false,"modifiers":1}}})" << "\n"
           << R"({"scroll":{"_0":{"dx":0,"dy":-30,"phase":"began"}}})" << "\n"
           << R"({"scroll":{"_0":{"dx":0,"dy":-40,"phase":"changed"}}})" << "\n"
           << R"({"scroll":{"_0":{"dx":0,"dy":0,"phase":"ended","vy":-3000}}})" << "\n"
           << R"({"delay":2.0})" << "\n";
    EXPECT_EQ(runPhone(script.str()), 0) << logs();

    // The pointer is where the click put it, and the click raised a over b.
    EXPECT_EQ(xdotoolMouseLocation(), std::make_pair(clickX, clickY));
    EXPECT_EQ(stackingOrder(display).back(), a.id());
    EXPECT_EQ(activeWindow(display), a.id());
    auto ev = a.events();
    auto press = std::find_if(ev.begin(), ev.end(), [](const auto& e) { return e.type == ButtonPress; });
    ASSERT_NE(press, ev.end());
    EXPECT_EQ(press->detail, 1u);
    EXPECT_EQ(std::make_pair(press->x, press->y), std::make_pair(clickX, clickY));

    // Typed text and Command+C reached the window now in front.
    std::vector<std::pair<KeySym, unsigned>> presses;
    for (const auto& e : ev)
        if (e.type == KeyPress && (e.keysym < XK_Shift_L || e.keysym > XK_Hyper_R))
            presses.emplace_back(e.keysym, e.state & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask));
    const std::vector<std::pair<KeySym, unsigned>> expected{
        {XK_h, 0}, {XK_eacute, 0}, {XK_exclam, ShiftMask}, {XK_c, ControlMask}};  // Command+C: copy
    EXPECT_EQ(presses, expected);

    // The fling scrolled down and coasted to a stop.
    size_t wheelDown = 0;
    for (const auto& e : ev) wheelDown += e.type == ButtonPress && e.detail == 5;
    EXPECT_GE(wheelDown, 8u);
    for (const auto& e : b.events()) EXPECT_NE(e.type, KeyPress);
}

// Keys held on the server and whether button 1 is down, as another X client sees them.
std::pair<int, bool> heldAsAnotherClientSees(const char* display) {
    Display* d = XOpenDisplay(display);
    if (!d) return {-1, false};
    char keys[32] = {};
    XQueryKeymap(d, keys);
    int held = 0;
    for (char k : keys) held += __builtin_popcount(static_cast<unsigned char>(k));
    Window root = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &mask);
    XCloseDisplay(d);
    return {held, (mask & Button1Mask) != 0};
}

TEST_F(PhoneInputEndToEnd, APhoneThatLeavesMidDragWithAKeyDownLeavesNothingHeld) {
    // The phone presses Shift and the left button, drags, and goes away without letting go.
    const std::string script =
        R"({"key":{"_0":{"keyCode":56,"isDown":true,"modifiers":0}}})" "\n"
        R"({"pointer":{"_0":{"kind":"leftDown","dx":0,"dy":0,"absX":0.5,"absY":0.5}}})" "\n"
        R"({"pointer":{"_0":{"kind":"move","dx":0,"dy":0,"absX":0.55,"absY":0.5}}})" "\n"
        R"({"delay":0.5})" "\n";
    // While the phone is there, both are held: the check below would see a release that
    // never happened otherwise.
    std::atomic<bool> sawHeld{false};
    std::atomic<bool> phoneDone{false};
    std::thread watcher([&] {
        while (!phoneDone && !sawHeld) {
            auto [keys, button] = heldAsAnotherClientSees(display);
            if (keys >= 1 && button) sawHeld = true;
            std::this_thread::sleep_for(20ms);
        }
    });
    int status = runPhone(script);
    phoneDone = true;
    watcher.join();
    ASSERT_EQ(status, 0) << logs();
    EXPECT_TRUE(sawHeld) << "the phone's key and button never went down";
    std::pair<int, bool> held{-1, true};
    for (int i = 0; i < 100; ++i) {
        held = heldAsAnotherClientSees(display);
        if (held == std::make_pair(0, false)) break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(held.first, 0) << "keys still down after the phone left\n" << logs();
    EXPECT_FALSE(held.second) << "button 1 still down after the phone left";
}

}  // namespace
}  // namespace df::testsupport
