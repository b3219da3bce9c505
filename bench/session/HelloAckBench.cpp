// Connect → helloAck of the reference phone client against the real agent program, next to
// the bare TLS handshake with the same agent, in one run on loopback.
//
// The agent runs as a child process in a temporary home (its own settings and key store)
// on the X display of this process ($DISPLAY), so that everything an authentication does on
// the host is measured. The first connection pairs (the approval is answered "y" on the
// agent's standard input); every measured connection is a trusted phone answering the
// challenge. Bare handshakes and full connections alternate, one at a time.
//
//   bench_hello_ack [--sessions N] [--agent PATH] [--wrap "strace -f -o trace.txt"]
//
// Prints the median (p50), p90 and mean of both, the part of the full connection after
// the client's TLS handshake, and the difference of the medians (goal: helloAck within
// 1.5 ms of the bare handshake).

#include "bench/support/HandshakeTiming.h"
#include "tests/support/AgentProcess.h"
#include "platform/SerialQueue.h"
#include "platform/Transport.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "tools/phone/IdentityStore.h"
#include "tools/phone/PhoneClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <iostream>
#include <mutex>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace df;
using benchsupport::Clock;
using benchsupport::figuresOf;
using benchsupport::millisecondsSince;
using testsupport::AgentProcess;
using testsupport::freePort;
using testsupport::tcpAccepts;
namespace fs = std::filesystem;

struct Phone {
    Endpoint agent;
    std::string code;
    phone::IdentityStore store;
    phone::PhoneIdentity identity;
    std::shared_ptr<SerialQueue> queue = SerialQueue::create("duskferry.phone");
    std::shared_ptr<TransportFactory> transport = makeLinuxTransportFactory();

    /// Milliseconds from the start of the connection to the hello acknowledgement; the
    /// session is ended right after it. `afterHandshake`: the part after the client saw its
    /// TLS handshake complete (hello, challenge, response, acknowledgement).
    std::optional<double> connectToHelloAck(std::string* failure, double* afterHandshake = nullptr) {
        phone::PhoneOptions options;
        options.agent = agent;
        options.code = code;
        options.media = phone::MediaMode::none;
        auto acked = std::make_shared<std::promise<double>>();
        auto ended = std::make_shared<std::promise<std::string>>();
        auto ackedFuture = acked->get_future();
        auto endedFuture = ended->get_future();
        std::shared_ptr<phone::PhoneClient> client;
        const auto start = Clock::now();
        auto gotAck = std::make_shared<bool>(false);  // only touched on the phone queue
        auto readyAt = std::make_shared<double>(0);
        client = phone::PhoneClient::create(
            options, identity, store, queue, transport,
            [start, acked, gotAck, readyAt](const std::string& line) {
                if (line.rfind("connected: secure channel up", 0) == 0) *readyAt = millisecondsSince(start);
                if (!*gotAck && line.rfind("helloAck ", 0) == 0) {
                    *gotAck = true;
                    acked->set_value(millisecondsSince(start));
                }
            },
            [](const std::string&) {},
            [ended](phone::ExitStatus, const std::string& message) { ended->set_value(message); });
        client->start();
        std::optional<double> result;
        if (ackedFuture.wait_for(std::chrono::seconds(10)) == std::future_status::ready) {
            result = ackedFuture.get();
            client->stop();
        } else {
            client->stop();
        }
        std::string message = endedFuture.wait_for(std::chrono::seconds(10)) == std::future_status::ready
                                  ? endedFuture.get()
                                  : "no end";
        if (!result && failure) *failure = message;
        queue->sync([] {});  // the cancellation the end posted
        if (result && afterHandshake) *afterHandshake = *result - *readyAt;
        return result;
    }

    /// Milliseconds from the start of a TLS connection to the end of its handshake.
    std::optional<double> bareHandshake() {
        const auto start = Clock::now();
        return benchsupport::timedHandshake(transport->connectTcpTls(agent, Pairing::parameters(code)), queue, start,
                                            10);
    }
};

std::vector<std::string> splitWords(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    int sessions = 200;
    std::string agentBinary = DF_AGENT_BIN;
    std::vector<std::string> wrap;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--sessions" && i + 1 < argc) {
            sessions = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--agent" && i + 1 < argc) {
            agentBinary = argv[++i];
        } else if (arg == "--wrap" && i + 1 < argc) {
            wrap = splitWords(argv[++i]);
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            std::cerr << "usage: bench_hello_ack [--sessions N] [--agent PATH] [--wrap COMMAND] [--verbose]\n";
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (!std::getenv("DISPLAY"))
        std::cerr << "bench_hello_ack: no DISPLAY; the agent runs without its X services\n";

    char pattern[] = "/tmp/df-bench-hello-ack-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("bench_hello_ack: temporary directory");
        return 1;
    }
    const fs::path home = pattern;
    int status = 0;
    {
        const uint16_t port = freePort(SOCK_STREAM);
        const char* display = std::getenv("DISPLAY");
        AgentProcess agent(agentBinary, wrap, home, port, freePort(SOCK_DGRAM), verbose, display ? display : "");
        auto code = agent.waitForCode();
        for (int i = 0; i < 500 && code && !tcpAccepts(port); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!code) {
            std::cerr << "bench_hello_ack: the agent printed no pairing code\n";
            return 1;
        }

        phone::IdentityStore store(home / "phone");
        auto identity = store.loadOrCreate("Bench Phone");
        if (!identity) {
            std::cerr << "bench_hello_ack: " << identity.error() << "\n";
            return 1;
        }
        Phone phone{{"127.0.0.1", port}, *code, store, std::move(identity).value()};

        // Pairing: the one approval, then the phone is trusted.
        agent.approveNext();
        std::string failure;
        if (!phone.connectToHelloAck(&failure)) {
            std::cerr << "bench_hello_ack: pairing failed: " << failure << "\n";
            return 1;
        }
        std::cout << "agent pid " << agent.pid() << ", " << sessions << " sessions\n";

        std::vector<double> bare, full, protocol;
        for (int i = 0; i < sessions + 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(15));  // the agent ends the last one
            auto b = phone.bareHandshake();
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
            double afterHandshake = 0;
            auto f = phone.connectToHelloAck(&failure, &afterHandshake);
            if (!b || !f) {
                std::cerr << "bench_hello_ack: session " << i << " failed: " << (b ? failure : "handshake") << "\n";
                status = 1;
                break;
            }
            if (i < 5) continue;  // warm-up
            bare.push_back(*b);
            full.push_back(*f);
            protocol.push_back(afterHandshake);
        }
        if (!bare.empty()) {
            auto fb = figuresOf(bare), ff = figuresOf(full), fp = figuresOf(protocol);
            std::printf("%-28s %8s %8s %8s\n", "ms", "p50", "p90", "mean");
            std::printf("%-28s %8.3f %8.3f %8.3f\n", "bare TLS-PSK handshake", fb.p50, fb.p90, fb.mean);
            std::printf("%-28s %8.3f %8.3f %8.3f\n", "connect -> helloAck", ff.p50, ff.p90, ff.mean);
            std::printf("%-28s %8.3f %8.3f %8.3f\n", "  of it after the handshake", fp.p50, fp.p90, fp.mean);
            std::printf("%-28s %8.3f   (goal: at most 1.5)\n", "difference of p50", ff.p50 - fb.p50);
        }
        phone.queue->stop();
    }
    std::error_code ec;
    fs::remove_all(home, ec);
    return status;
}
