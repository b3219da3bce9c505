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

TEST(PhoneInputEndToEnd, AnAuthenticatedPhoneMovesThePointerAndTypesIntoTheFocusedWindow) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        if (testsupport::underCI()) FAIL() << "no X display under CI";
        GTEST_SKIP() << "no X display";
    }
    const fs::path home = fs::temp_directory_path() / ("df-input-e2e-" + std::to_string(getpid()));
    fs::remove_all(home);
    fs::create_directories(home);
    const std::vector<std::string> env{"HOME=" + home.string(), "XDG_CONFIG_HOME=" + (home / "config").string(),
                                       "XDG_DATA_HOME=" + (home / "data").string(), "LANG=C"};
    const uint16_t port = freePort(SOCK_STREAM), quicPort = freePort(SOCK_DGRAM);

    Child agent({DF_AGENT_BIN, "--headless", "--port", std::to_string(port), "--quic-port", std::to_string(quicPort)},
                env, home / "agent.log");
    ASSERT_TRUE(agent.ok());
    agent.write("y\n");  // approve the phone when the agent asks
    std::string code;
    const std::regex sixDigits(R"(\b(\d{6})\b)");
    for (int i = 0; i < 500 && code.empty(); ++i) {
        std::smatch m;
        std::string log = readFile(home / "agent.log");
        if (std::regex_search(log, m, sixDigits)) code = m[1];
        else std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(code.size(), 6u) << readFile(home / "agent.log");
    std::this_thread::sleep_for(300ms);  // the listener starts after the code is shown

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
    {
        std::ofstream script(home / "script.jsonl");
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
    }
    Child phone({DF_PHONE_BIN, "--host", "127.0.0.1", "--port", std::to_string(port), "--code", code, "--name",
                 "E2E Phone", "--identity-dir", (home / "phone").string(), "--no-media", "--script",
                 (home / "script.jsonl").string()},
                env, home / "phone.log");
    ASSERT_TRUE(phone.ok());
    int status = phone.waitExit(30s);
    EXPECT_EQ(status, 0) << readFile(home / "phone.log") << "\n--- agent ---\n" << readFile(home / "agent.log");

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
    fs::remove_all(home);
}

}  // namespace
}  // namespace df::testsupport
