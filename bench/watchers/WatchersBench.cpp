// What the session's watchers cost while nothing happens, and how fast a copy reaches the
// phone. The agent server runs in this process with the X11 clipboard, active-window, RandR
// and cursor services (no screen capture) on a private Xvfb, and the reference phone client
// connects over loopback and stays.
//
//   bench_watchers [--idle SECONDS] [--copies N]
//
// Prints the CPU time of the watchers' X threads (df.clipboard, df.workspace, df.screens,
// df.cursor) and of the whole process (agent and phone, heartbeats included) over the idle
// period as a share of one core (goal: under 0.5 %), then the delay from another X client's
// copy (its own X connection owning CLIPBOARD) to the phone's `clipboard` message: median,
// p90 and worst.

#include "DuskFerryAgent/session/AgentServer.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/Approval.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/SerialQueue.h"
#include "platform/linux/alert/TerminalAlertPresenter.h"
#include "platform/linux/clipboard/X11Pasteboard.h"
#include "platform/linux/cursor/XFixesSystemCursor.h"
#include "platform/linux/displays/XRandRDisplays.h"
#include "platform/linux/keychain/FileAgentKeychain.h"
#include "platform/linux/screens/RandrScreenParameters.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "platform/linux/workspace/EwmhWorkspace.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "tests/support/PrivateXvfb.h"
#include "tests/support/TempDir.h"
#include "tools/phone/PhoneClient.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace df;
using Steady = std::chrono::steady_clock;

/// CPU seconds (user + system) of each thread of this process, by thread name.
std::map<std::string, double> threadCpu() {
    std::map<std::string, double> out;
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir) return out;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream stat(std::string("/proc/self/task/") + e->d_name + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto open = line.find('(');
        const auto close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        const std::string name = line.substr(open + 1, close - open - 1);
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        double utime = 0;
        double stime = 0;
        for (int i = 3; rest >> field; ++i) {
            if (i == 14) utime = std::stod(field);
            if (i == 15) {
                stime = std::stod(field);
                break;
            }
        }
        out[name] += (utime + stime) / tick;
    }
    ::closedir(dir);
    return out;
}

double processCpu() {
    double total = 0;
    for (const auto& [name, seconds] : threadCpu()) total += seconds;
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    double idleSeconds = 20;
    int copies = 40;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--idle") == 0) idleSeconds = std::stod(argv[i + 1]);
        if (std::strcmp(argv[i], "--copies") == 0) copies = std::stoi(argv[i + 1]);
    }
    testsupport::Xvfb xvfb({1280, 720});
    if (xvfb.name().empty()) {
        std::cerr << "bench_watchers: Xvfb did not start\n";
        return 1;
    }
    const std::string display = xvfb.name();
    testsupport::TempDir dir;

    auto serverQueue = SerialQueue::create("duskferry.server");
    auto mainQueue = SerialQueue::create("main");
    auto phoneQueue = SerialQueue::create("duskferry.phone");
    auto transport = makeLinuxTransportFactory();
    FileAgentKeychain keychain(dir / "keys");
    auto trust = std::make_shared<TrustStore>(keychain);
    auto l10n = std::make_shared<const L10n>(std::vector<std::string>{"en"});
    int answer[2];
    if (::pipe(answer) != 0) return 1;
    const int nullOut = ::open("/dev/null", O_WRONLY);
    auto alerts = std::make_shared<TerminalAlertPresenter>(mainQueue, answer[0], nullOut);

    ServerServices s;
    s.queue = serverQueue;
    s.transport = transport;
    s.session.mainQueue = mainQueue;
    s.session.approval = Approval::create(mainQueue, alerts, l10n);
    s.session.trust = trust;
    s.session.l10n = l10n;
    s.session.displays = std::make_shared<DisplayTarget>(createXRandRDisplays(display));
    s.session.agentName = "bench-agent";
    s.session.macDeviceID = trust->macDeviceID();
    s.session.pasteboard = createX11Pasteboard(display);
    s.session.workspace = createEwmhWorkspace({}, {"en"}, display);
    s.session.screenParameters = createRandrScreenParameters(display);
    s.session.cursor = createXFixesSystemCursor(display);
    s.tcpPort = 0;
    s.quicPort = 0;
    s.bindHost = "127.0.0.1";
    auto server = AgentServer::create("314159", [](const std::string&) {}, s);
    server->start();
    uint16_t port = 0;
    for (int i = 0; i < 500 && !port; ++i) {
        serverQueue->sync([&] { port = server->tcpPort().value_or(0); });
        if (!port) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool running = false;
    std::string lastClipboard;
    Steady::time_point lastClipboardAt;
    phone::PhoneOptions options;
    options.agent = {"127.0.0.1", port};
    options.code = "314159";
    options.hasScript = true;
    phone::IdentityStore store(dir / "phone");
    auto identity = store.loadOrCreate("Bench Phone");
    if (!identity.ok()) return 1;
    (void)!::write(answer[1], "y\n", 2);
    auto out = [&](const std::string& line) {
        std::lock_guard lock(mutex);
        if (line.starts_with("authenticated")) running = true;
        if (line.starts_with("clipboard ")) {
            lastClipboard = line;
            lastClipboardAt = Steady::now();
        }
        changed.notify_all();
    };
    auto client = phone::PhoneClient::create(options, *identity, store, phoneQueue, transport, out,
                                             [](const std::string&) {}, [](phone::ExitStatus, const std::string&) {});
    client->start();
    {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(30), [&] { return running; })) {
            std::cerr << "bench_watchers: the phone did not get in\n";
            return 1;
        }
    }

    // Idle: the phone stays connected (heartbeats every 4 s), nothing on the display changes.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto before = threadCpu();
    const double processBefore = processCpu();
    const auto idleStart = Steady::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const double wall = std::chrono::duration<double>(Steady::now() - idleStart).count();
    const auto after = threadCpu();
    double watchers = 0;
    for (const char* name : {"df.clipboard", "df.workspace", "df.screens", "df.cursor"}) {
        const double used = (after.count(name) ? after.at(name) : 0) - (before.count(name) ? before.at(name) : 0);
        watchers += used;
        std::printf("idle  %-14s %.3f %% of a core\n", name, 100 * used / wall);
    }
    std::printf("idle  watchers       %.3f %% of a core over %.0f s (goal < 0.5 %%)\n", 100 * watchers / wall, wall);
    std::printf("idle  whole process  %.3f %% of a core (agent and phone, heartbeats included)\n",
                100 * (processCpu() - processBefore) / wall);

    // Copies by another X client: its own connection owns CLIPBOARD and serves the agent's read.
    auto other = createX11Pasteboard(display);
    std::vector<double> delays;
    for (int i = 0; i < copies; ++i) {
        const std::string text = "bench copy " + std::to_string(i);
        const auto start = Steady::now();
        other->setPlainText(text);
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(5),
                              [&] { return lastClipboard.find("\"" + text + "\"") != std::string::npos; })) {
            std::cerr << "bench_watchers: copy " << i << " did not arrive\n";
            continue;
        }
        delays.push_back(std::chrono::duration<double, std::milli>(lastClipboardAt - start).count());
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::sort(delays.begin(), delays.end());
    if (!delays.empty()) {
        std::printf("copy → clipboard message: median %.2f ms, p90 %.2f ms, worst %.2f ms (%zu copies)\n",
                    delays[delays.size() / 2], delays[delays.size() * 9 / 10], delays.back(), delays.size());
    }

    client->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    serverQueue->sync([&] {
        if (auto session = server->session()) session->close();
    });
    serverQueue->sync([&] { server.reset(); });
    for (auto& q : {serverQueue, mainQueue, phoneQueue}) q->shutdown();
    ::close(answer[1]);
    ::close(answer[0]);
    ::close(nullOut);
    return delays.size() == static_cast<size_t>(copies) ? 0 : 1;
}
