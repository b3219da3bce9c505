// The agent server on the real transport over loopback, with a trusted phone:
//  - ConnectToHelloAck: TLS handshake, hello, challenge, response, hello acknowledgement
//    (goal: 10 ms median);
//  - HeartbeatRoundTrip: heartbeat sent until its reply arrives (goal: 1 ms median);
//  - ConnectToHelloAckWith500Idle: the same while 500 idle, unauthenticated TCP connections
//    are held open (goal: within 2 s).
//
//   bench_session --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include "DuskFerryAgent/session/AgentServer.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/SerialQueue.h"
#include "platform/linux/keychain/FileAgentKeychain.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "tests/session/PhoneOnLoopback.h"
#include "tests/support/TempDir.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

namespace df {
namespace {

using namespace std::chrono_literals;

constexpr const char* kCode = "271828";

// One agent for the whole run, with the real key store in a temporary directory and one
// trusted phone.
struct Agent {
    Agent() {
        trust->trust("BENCH-PHONE", "Bench Phone", keys.publicKey);
        macPublicKey = trust->macPublicKey();

        ServerServices s;
        s.queue = serverQueue;
        s.transport = transport;
        s.session.trust = trust;
        s.session.l10n = std::make_shared<L10n>(std::vector<std::string>{"en"});
        s.session.agentName = "bench-agent";
        s.session.macDeviceID = trust->macDeviceID();
        s.tcpPort = 0;
        s.quicPort = 0;
        s.bindHost = "127.0.0.1";
        server = AgentServer::create(kCode, [this](const std::string& t) {
            std::lock_guard lock(statusMutex);
            lastStatus = t;
        }, s);
        server->start();
        for (int i = 0; i < 500 && !port; ++i) {
            serverQueue->sync([&] {
                if (auto p = server->tcpPort()) port = *p;
            });
            std::this_thread::sleep_for(2ms);
        }
    }
    ~Agent() {
        serverQueue->sync([&] { server.reset(); });
        // What the cancelled connections still had to report goes with the queues.
        serverQueue->shutdown();
        phoneQueue->shutdown();
    }

    /// Connects and authenticates; the hello acknowledgement, or nothing.
    std::optional<HelloAck> connect(testsupport::PhoneConnection& p) {
        p.connectTcp({"127.0.0.1", port}, kCode);
        if (!p.waitReady()) return std::nullopt;
        p.send(Hello("Bench Phone", 1, std::nullopt, "BENCH-PHONE"));
        auto challenge = p.waitFor<AuthChallenge>();
        if (!challenge) return std::nullopt;
        auto key = DeviceAuth::authenticationKey(keys.privateKey, macPublicKey);
        p.send(AuthResponse(DeviceAuth::response(*key, challenge->nonce)));
        return p.waitFor<HelloAck>();
    }

    testsupport::TempDir dir;
    FileAgentKeychain keychain{dir / "keys"};
    std::shared_ptr<TrustStore> trust = std::make_shared<TrustStore>(keychain);
    DeviceAuth::KeyPair keys = DeviceAuth::generateKeyPair();
    Bytes macPublicKey;
    std::shared_ptr<SerialQueue> serverQueue = SerialQueue::create("duskferry.server");
    std::shared_ptr<SerialQueue> phoneQueue = SerialQueue::create("phone");
    std::shared_ptr<TransportFactory> transport = makeLinuxTransportFactory();
    std::shared_ptr<AgentServer> server;
    uint16_t port = 0;
    std::mutex statusMutex;
    std::string lastStatus;

    std::string failureNote() {
        std::lock_guard lock(statusMutex);
        return "no hello acknowledgement; last status: " + lastStatus;
    }
};

Agent& agent() {
    static Agent a;
    return a;
}

void BM_ConnectToHelloAck(benchmark::State& state) {
    auto& a = agent();
    for (auto _ : state) {
        testsupport::PhoneConnection p(a.transport, a.phoneQueue);
        if (!a.connect(p)) {
            state.SkipWithError("no hello acknowledgement");
            break;
        }
        state.PauseTiming();
        p.cancel();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ConnectToHelloAck)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HeartbeatRoundTrip(benchmark::State& state) {
    auto& a = agent();
    testsupport::PhoneConnection p(a.transport, a.phoneQueue);
    if (!a.connect(p)) {
        state.SkipWithError("no hello acknowledgement");
        return;
    }
    for (auto _ : state) {
        p.send(Heartbeat{});
        if (!p.waitFor<Heartbeat>()) {
            state.SkipWithError("no heartbeat reply");
            break;
        }
        state.PauseTiming();
        p.waitFor<CaptureAlive>();  // the rest of the reply
        state.ResumeTiming();
    }
}
BENCHMARK(BM_HeartbeatRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ConnectToHelloAckWith500Idle(benchmark::State& state) {
    auto& a = agent();
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 2048) {
        limit.rlim_cur = std::min<rlim_t>(4096, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<int> idle;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(a.port);
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    // The idle connections come from another loopback address: when they hang up in the
    // middle of the TLS handshake the agent counts that against their address, which must
    // not lock out the measured phone on 127.0.0.1.
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
    for (int i = 0; i < 500; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            ::close(fd);
            fd = -1;
        }
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            if (fd >= 0) ::close(fd);
            break;
        }
        idle.push_back(fd);
    }
    state.counters["idle"] = static_cast<double>(idle.size());
    std::this_thread::sleep_for(200ms);  // let the agent accept them all
    for (auto _ : state) {
        testsupport::PhoneConnection p(a.transport, a.phoneQueue);
        if (!a.connect(p)) {
            state.SkipWithError(a.failureNote().c_str());
            break;
        }
        state.PauseTiming();
        p.cancel();
        state.ResumeTiming();
    }
    for (int fd : idle) ::close(fd);
}
// Few iterations: the idle connections are ended by the 10 s classification limit.
BENCHMARK(BM_ConnectToHelloAckWith500Idle)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

}  // namespace
}  // namespace df
