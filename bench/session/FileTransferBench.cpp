// File transfer throughput between the agent program and the reference phone client on
// loopback: a file of 1 GiB (or --mib N) from the phone to the agent's Downloads folder and
// back from the agent (`duskferry-agent send`) to the phone, with the phone's media channel
// over TCP and over QUIC, and the agent's resident memory while it does so.
//
//   bench_file_transfer [--mib N] [--agent PATH] [--verbose]
//
// The agent runs as a child process in a temporary home (its Downloads folder is
// home/Downloads) with its own runtime folder for the send command. Prints MB/s each way
// per medium (goal: at least 200 MB/s over TCP) and the agent's RSS growth over its RSS
// once paired (goal: under 32 MiB; files are never held whole in memory). The agent's CPU
// time per leg is printed too: on a shared machine it says more than the wall clock.

#include "platform/SerialQueue.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "tests/session/FileLoopback.h"
#include "tests/support/AgentProcess.h"
#include "tests/support/TempDir.h"
#include "tools/phone/PhoneClient.h"

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <thread>

namespace {

using namespace df;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

long rssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    return 0;
}

/// The highest RSS of `pid` while it lives, sampled every 20 ms.
class RssWatch {
public:
    explicit RssWatch(pid_t pid) : pid_(pid), thread_([this] {
        while (!stop_) {
            peak_ = std::max(peak_.load(), rssKiB(pid_));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }) {}
    ~RssWatch() {
        stop_ = true;
        thread_.join();
    }
    long peak() const { return peak_; }
    void reset() { peak_ = rssKiB(pid_); }

private:
    pid_t pid_;
    std::atomic<bool> stop_{false};
    std::atomic<long> peak_{0};
    std::thread thread_;
};

struct Lines {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
    void add(const std::string& line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
        changed.notify_all();
    }
    bool waitFor(const std::string& part, size_t n, double seconds) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
            return static_cast<size_t>(std::ranges::count_if(
                       lines, [&](const auto& l) { return l.find(part) != std::string::npos; })) >= n;
        });
    }
};

}  // namespace

int main(int argc, char** argv) {
    uint64_t mib = 1024;
    std::string agentBinary = DF_AGENT_BIN;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--mib" && i + 1 < argc) {
            mib = std::stoull(argv[++i]);
        } else if (a == "--agent" && i + 1 < argc) {
            agentBinary = argv[++i];
        } else if (a == "--verbose") {
            verbose = true;
        } else {
            std::cerr << "usage: bench_file_transfer [--mib N] [--agent PATH] [--verbose]\n";
            return 2;
        }
    }
    const uint64_t size = mib << 20;
    testsupport::TempDir dir;
    const fs::path home = dir / "home";
    const fs::path runtime = dir / "runtime";
    fs::create_directories(home);
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    const fs::path source = dir / "big.bin";
    testsupport::writeRandomFile(source, size, 42);
    std::printf("file transfer bench: %llu MiB each way on loopback\n", static_cast<unsigned long long>(mib));

    int failures = 0;
    for (bool quic : {false, true}) {
        Lines agentLines;
        const uint16_t port = testsupport::freePort(SOCK_STREAM);
        const uint16_t quicPort = testsupport::freePort(SOCK_DGRAM);
        testsupport::AgentProcess agent(agentBinary, {}, home, port, quicPort, verbose, "",
                                        [&](const std::string& l) { agentLines.add(l); },
                                        {"XDG_RUNTIME_DIR=" + runtime.string()});
        auto code = agent.waitForCode();
        if (!code) {
            std::fprintf(stderr, "the agent did not start\n");
            return 1;
        }
        for (int i = 0; i < 200 && !testsupport::tcpAccepts(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));

        auto phoneQueue = SerialQueue::create("duskferry.phone");
        auto transport = makeLinuxTransportFactory();
        phone::IdentityStore store(dir / ("phone-" + std::to_string(quic)));
        auto identity = store.loadOrCreate("Bench Phone");
        phone::PhoneOptions options;
        options.agent = {"127.0.0.1", port};
        options.code = *code;
        options.hasScript = true;
        options.media = quic ? phone::MediaMode::quic : phone::MediaMode::tcp;
        options.filesOverMedia = true;
        options.downloadDir = dir / "phone-downloads";
        options.mediaOptions.decodeVideo = false;
        Lines phoneLines;
        agent.approveNext();
        auto client = phone::PhoneClient::create(
            options, *identity, store, phoneQueue, transport, [&](const std::string& l) { phoneLines.add(l); },
            [&](const std::string& l) { phoneLines.add(l); }, [&](phone::ExitStatus, const std::string&) {});
        client->start();
        const char* medium = quic ? "QUIC" : "TCP";
        if (!phoneLines.waitFor(std::string("media channel open over ") + medium, 1, 30)) {
            std::fprintf(stderr, "%s: the phone's media channel did not open\n", medium);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const long baseline = rssKiB(agent.pid());
        RssWatch watch(agent.pid());

        // Phone → agent.
        const double cpuBefore = agent.cpuSeconds();
        auto start = Steady::now();
        phone::ScriptStep step;
        step.sendFile = source.string();
        client->addScriptStep(step);
        const bool received = agentLines.waitFor("Received: big.bin → Downloads", 1, 600);
        const double upSeconds = std::chrono::duration<double>(Steady::now() - start).count();
        const long upPeak = watch.peak();
        const double upCpu = agent.cpuSeconds() - cpuBefore;
        std::error_code ec;
        const bool upWhole = received && fs::file_size(home / "Downloads" / "big.bin", ec) == size;
        fs::remove(home / "Downloads" / "big.bin", ec);

        // Agent → phone, through `duskferry-agent send`.
        start = Steady::now();
        const std::string command = "XDG_RUNTIME_DIR='" + runtime.string() + "' '" + agentBinary + "' send '" +
                                    source.string() + "' > /dev/null";
        const int status = std::system(command.c_str());
        const bool sent = phoneLines.waitFor("fileReceived name=\"big.bin\" ok=true", 1, 600);
        const double downSeconds = std::chrono::duration<double>(Steady::now() - start).count();
        const double downCpu = agent.cpuSeconds() - cpuBefore - upCpu;
        const bool downWhole = sent && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                               fs::file_size(options.downloadDir / "big.bin", ec) == size;
        fs::remove(options.downloadDir / "big.bin", ec);
        const long growth = watch.peak() - baseline;
        const long upGrowth = upPeak - baseline;

        const double mb = static_cast<double>(size) / 1e6;
        std::printf("%-4s phone → agent: %s %7.1f MB/s (%.2f s; agent CPU %.2f s, %.0f MB per CPU second)%s\n", medium,
                    upWhole ? "ok" : "FAILED", mb / upSeconds, upSeconds, upCpu, mb / upCpu, !quic ? (mb / upSeconds >= 200 ? "  goal ≥ 200 MB/s: met" : "  goal ≥ 200 MB/s: MISSED") : "");
        std::printf("%-4s agent → phone: %s %7.1f MB/s (%.2f s; agent CPU %.2f s, %.0f MB per CPU second)%s\n", medium,
                    downWhole ? "ok" : "FAILED", mb / downSeconds, downSeconds, downCpu, mb / downCpu,
                    !quic ? (mb / downSeconds >= 200 ? "  goal ≥ 200 MB/s: met" : "  goal ≥ 200 MB/s: MISSED") : "");
        std::printf("%-4s agent RSS: %.1f MiB once paired, growth %.1f MiB receiving, %.1f MiB in all (goal < 32 MiB: %s)\n",
                    medium, static_cast<double>(baseline) / 1024, static_cast<double>(upGrowth) / 1024,
                    static_cast<double>(growth) / 1024, growth < 32 * 1024 ? "met" : "MISSED");
        failures += !upWhole + !downWhole;
        client->stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        phoneQueue->shutdown();
    }
    return failures == 0 ? 0 : 1;
}
