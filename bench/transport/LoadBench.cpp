// The agent program under load on loopback: thousands of idle unauthenticated TCP
// connections and a set of half-open QUIC handshakes, while the reference phone pairs,
// reconnects and streams heartbeats. A plain program printing figures.
//
// - Idle TCP: sockets from many loopback source addresses (127.1.x.y) connect and never say
//   a word; whenever the agent drops one it is opened again, so the count holds.
// - Half-open QUIC: real QUIC clients of this process whose datagrams pass a relay (one
//   source address 127.2.0.x each). The relay lets a client answer the agent's Retry and
//   send its ClientHello, then drops everything else the client sends, so the agent holds a
//   handshake that never completes. Every wave lives `--wave` seconds, then a new one starts.
// - The phone (127.0.0.1) pairs once, then connects again and again: connect -> helloAck is
//   timed, and each session then sends heartbeats for a while; a session that does not get
//   its helloAck or ends early counts as refused. A QUIC handshake of the phone's own is
//   tried under load as well.
// Figures: connect -> helloAck (goal: at most 50 ms), the agent's resident memory and open
// descriptors under load, and whether the phone was ever refused (goal: never).
//
//   bench_load [--idle N] [--quic N] [--sessions N] [--wave SECONDS] [--agent PATH] [--verbose]

#include "bench/support/HandshakeTiming.h"
#include "tests/support/AgentProcess.h"
#include "platform/SerialQueue.h"
#include "platform/Transport.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "tools/phone/IdentityStore.h"
#include "tools/phone/PhoneClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <mutex>
#include <numeric>
#include <optional>
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

sockaddr_in loopback(const std::string& host, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

// ---- idle TCP connections ----

class IdleTcpLoad {
public:
    IdleTcpLoad(uint16_t port, int count) : port_(port), slots_(static_cast<size_t>(count)) {
        thread_ = std::thread([this] { run(); });
    }
    ~IdleTcpLoad() {
        stop_ = true;
        thread_.join();
        for (auto& s : slots_) {
            if (s.fd >= 0) ::close(s.fd);
        }
    }
    int open() const { return open_.load(); }
    long reopened() const { return reopened_.load(); }
    long refused() const { return refused_.load(); }

private:
    struct Slot {
        int fd = -1;
        bool connected = false;
        Clock::time_point notBefore{};
    };
    static std::string sourceOf(size_t i) {
        // 250 addresses of 8 connections each for 2,000: no single source stands out.
        return "127.1." + std::to_string(1 + (i / 8) / 250) + "." + std::to_string(1 + (i / 8) % 250);
    }
    void openSlot(size_t i) {
        Slot& s = slots_[i];
        s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        s.connected = false;
        if (s.fd < 0) return;
        sockaddr_in from = loopback(sourceOf(i), 0);
        sockaddr_in to = loopback("127.0.0.1", port_);
        ::bind(s.fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
        if (::connect(s.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) s.connected = true;
    }
    void closeSlot(size_t i, bool wasRefused) {
        Slot& s = slots_[i];
        ::close(s.fd);
        s.fd = -1;
        s.connected = false;
        s.notBefore = Clock::now() + std::chrono::milliseconds(200);  // no tight loop against a cap
        (wasRefused ? refused_ : reopened_)++;
    }
    void run() {
        for (size_t i = 0; i < slots_.size(); ++i) openSlot(i);
        std::vector<pollfd> fds;
        std::vector<size_t> index;
        while (!stop_) {
            fds.clear();
            index.clear();
            const auto now = Clock::now();
            int connected = 0;
            for (size_t i = 0; i < slots_.size(); ++i) {
                Slot& s = slots_[i];
                if (s.fd < 0) {
                    if (now >= s.notBefore) openSlot(i);
                    if (s.fd < 0) continue;
                }
                if (s.connected) ++connected;
                fds.push_back({s.fd, static_cast<short>(s.connected ? POLLIN : POLLOUT), 0});
                index.push_back(i);
            }
            open_ = connected;
            ::poll(fds.data(), fds.size(), 100);
            for (size_t k = 0; k < fds.size(); ++k) {
                const size_t i = index[k];
                Slot& s = slots_[i];
                if (fds[k].revents == 0) continue;
                if (!s.connected) {
                    int error = 0;
                    socklen_t length = sizeof error;
                    ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                    if (error == 0 && (fds[k].revents & POLLOUT)) {
                        s.connected = true;
                    } else {
                        closeSlot(i, true);
                    }
                    continue;
                }
                char buffer[4096];
                const ssize_t n = ::recv(s.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n <= 0) closeSlot(i, false);  // the agent dropped it (its first-frame limit)
            }
        }
    }

    uint16_t port_;
    std::vector<Slot> slots_;
    std::atomic<bool> stop_{false};
    std::atomic<int> open_{0};
    std::atomic<long> reopened_{0};
    std::atomic<long> refused_{0};
    std::thread thread_;
};

// ---- half-open QUIC handshakes ----

class HalfOpenQuicLoad {
public:
    HalfOpenQuicLoad(uint16_t agentPort, std::string code, int count, double waveSeconds)
        : agentPort_(agentPort), code_(std::move(code)), count_(count), wave_(waveSeconds) {
        thread_ = std::thread([this] { run(); });
    }
    ~HalfOpenQuicLoad() {
        stop_ = true;
        thread_.join();
    }
    long handshakesHeld() const { return held_.load(); }
    long retries() const { return retries_.load(); }

private:
    struct Relay {
        int clientSide = -1;  // the client's agent, as far as it knows
        int agentSide = -1;   // towards the real agent, from 127.2.0.x
        sockaddr_in client{};
        bool knowClient = false;
        int forwarded = 0;    // client datagrams let through
        bool sawRetry = false;
        std::shared_ptr<Connection> quic;
    };
    void startWave(std::vector<Relay>& relays) {
        relays.resize(static_cast<size_t>(count_));
        for (size_t i = 0; i < relays.size(); ++i) {
            Relay& r = relays[i];
            r.clientSide = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in local = loopback("127.0.0.1", 0);
            ::bind(r.clientSide, reinterpret_cast<sockaddr*>(&local), sizeof local);
            socklen_t length = sizeof local;
            ::getsockname(r.clientSide, reinterpret_cast<sockaddr*>(&local), &length);
            r.agentSide = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in source = loopback("127.2.0." + std::to_string(1 + i % 250), 0);
            ::bind(r.agentSide, reinterpret_cast<sockaddr*>(&source), sizeof source);
            sockaddr_in agent = loopback("127.0.0.1", agentPort_);
            ::connect(r.agentSide, reinterpret_cast<sockaddr*>(&agent), sizeof agent);
            r.quic = transport_->connectQuic({"127.0.0.1", ntohs(local.sin_port)}, Pairing::quicParameters(code_));
            r.quic->setStateHandler([](ConnectionState, const std::optional<TransportError>&) {});
            r.quic->start(queue_);
        }
    }
    void endWave(std::vector<Relay>& relays) {
        for (auto& r : relays) {
            queue_->sync([&] { r.quic->cancel(); });
            ::close(r.clientSide);
            ::close(r.agentSide);
        }
        relays.clear();
    }
    void run() {
        std::vector<Relay> relays;
        while (!stop_) {
            startWave(relays);
            const auto end = Clock::now() + std::chrono::duration<double>(wave_);
            while (!stop_ && Clock::now() < end) {
                std::vector<pollfd> fds;
                for (auto& r : relays) {
                    fds.push_back({r.clientSide, POLLIN, 0});
                    fds.push_back({r.agentSide, POLLIN, 0});
                }
                ::poll(fds.data(), fds.size(), 50);
                long held = 0;
                for (size_t i = 0; i < relays.size(); ++i) {
                    Relay& r = relays[i];
                    uint8_t datagram[65536];
                    for (;;) {
                        sockaddr_in from{};
                        socklen_t length = sizeof from;
                        const ssize_t n = ::recvfrom(r.clientSide, datagram, sizeof datagram, 0,
                                                     reinterpret_cast<sockaddr*>(&from), &length);
                        if (n <= 0) break;
                        r.client = from;
                        r.knowClient = true;
                        // The first Initial, and the one with the Retry token: then silence.
                        if (r.forwarded < 2) {
                            ++r.forwarded;
                            (void)::send(r.agentSide, datagram, static_cast<size_t>(n), 0);
                        }
                    }
                    for (;;) {
                        const ssize_t n = ::recv(r.agentSide, datagram, sizeof datagram, 0);
                        if (n <= 0) break;
                        if ((datagram[0] & 0xf0) == 0xf0 && !r.sawRetry) {
                            r.sawRetry = true;
                            ++retries_;
                        }
                        if (r.knowClient) {
                            (void)::sendto(r.clientSide, datagram, static_cast<size_t>(n), 0,
                                           reinterpret_cast<sockaddr*>(&r.client), sizeof r.client);
                        }
                    }
                    if (r.sawRetry && r.forwarded == 2) ++held;
                }
                held_ = held;
            }
            endWave(relays);
        }
        queue_->shutdown();
    }

    uint16_t agentPort_;
    std::string code_;
    int count_;
    double wave_;
    std::shared_ptr<SerialQueue> queue_ = SerialQueue::create("bench.quic");
    std::shared_ptr<TransportFactory> transport_ = makeLinuxTransportFactory();
    std::atomic<bool> stop_{false};
    std::atomic<long> held_{0};
    std::atomic<long> retries_{0};
    std::thread thread_;
};

// ---- the agent as /proc sees it ----

long residentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

long openDescriptors(pid_t pid) {
    std::error_code ec;
    long n = 0;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        ++n;
    }
    return n;
}

// ---- the phone ----

struct PhoneSessionResult {
    std::optional<double> helloAckMs;
    bool endedEarly = false;
    std::string message;
};

PhoneSessionResult phoneSession(const Endpoint& agent, const std::string& code, phone::IdentityStore& store,
                                const phone::PhoneIdentity& identity, const std::shared_ptr<SerialQueue>& queue,
                                const std::shared_ptr<TransportFactory>& transport, double holdSeconds) {
    phone::PhoneOptions options;
    options.agent = agent;
    options.code = code;
    options.media = phone::MediaMode::none;
    options.heartbeatInterval = 0.25;
    auto acked = std::make_shared<std::promise<double>>();
    auto ended = std::make_shared<std::promise<std::string>>();
    auto ackedFuture = acked->get_future();
    auto endedFuture = ended->get_future();
    auto gotAck = std::make_shared<bool>(false);
    const auto start = Clock::now();
    auto client = phone::PhoneClient::create(
        options, identity, store, queue, transport,
        [start, acked, gotAck](const std::string& line) {
            if (!*gotAck && line.rfind("helloAck ", 0) == 0) {
                *gotAck = true;
                acked->set_value(millisecondsSince(start));
            }
        },
        [](const std::string&) {}, [ended](phone::ExitStatus, const std::string& message) { ended->set_value(message); });
    client->start();
    PhoneSessionResult result;
    if (ackedFuture.wait_for(std::chrono::seconds(10)) == std::future_status::ready) {
        result.helloAckMs = ackedFuture.get();
        // Heartbeats for a while: the session must stay.
        if (endedFuture.wait_for(std::chrono::duration<double>(holdSeconds)) == std::future_status::ready) {
            result.endedEarly = true;
        }
    }
    client->stop();
    result.message = endedFuture.wait_for(std::chrono::seconds(10)) == std::future_status::ready ? endedFuture.get()
                                                                                                  : "no end";
    queue->sync([] {});
    return result;
}

/// A QUIC handshake of the phone's own (right code, from 127.0.0.1): milliseconds to ready.
std::optional<double> phoneQuicHandshake(const Endpoint& agent, const std::string& code,
                                         const std::shared_ptr<SerialQueue>& queue,
                                         const std::shared_ptr<TransportFactory>& transport) {
    const auto start = Clock::now();
    return benchsupport::timedHandshake(transport->connectQuic(agent, Pairing::quicParameters(code)), queue, start, 5);
}

}  // namespace

int main(int argc, char** argv) {
    int idle = 2000, quic = 64, sessions = 20;
    double wave = 6.0;
    std::string agentBinary = DF_AGENT_BIN;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--idle" && i + 1 < argc) {
            idle = std::max(0, std::atoi(argv[++i]));
        } else if (arg == "--quic" && i + 1 < argc) {
            quic = std::clamp(std::atoi(argv[++i]), 0, 250);
        } else if (arg == "--sessions" && i + 1 < argc) {
            sessions = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--wave" && i + 1 < argc) {
            wave = std::max(1.0, std::atof(argv[++i]));
        } else if (arg == "--agent" && i + 1 < argc) {
            agentBinary = argv[++i];
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            std::cerr << "usage: bench_load [--idle N] [--quic N] [--sessions N] [--wave SECONDS] [--agent PATH] "
                         "[--verbose]\n";
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    // This process holds the idle connections: it needs the descriptors too.
    if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    char pattern[] = "/tmp/df-bench-load-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("bench_load: temporary directory");
        return 1;
    }
    const fs::path home = pattern;
    int status = 0;
    {
        const uint16_t port = freePort(SOCK_STREAM);
        const uint16_t quicPort = freePort(SOCK_DGRAM);
        AgentProcess agent(agentBinary, {}, home, port, quicPort, verbose, "");
        auto code = agent.waitForCode();
        for (int i = 0; i < 500 && code && !tcpAccepts(port); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!code) {
            std::cerr << "bench_load: the agent printed no pairing code\n";
            return 1;
        }
        phone::IdentityStore store(home / "phone");
        auto identity = store.loadOrCreate("Bench Phone");
        if (!identity) {
            std::cerr << "bench_load: " << identity.error() << "\n";
            return 1;
        }
        auto queue = SerialQueue::create("duskferry.phone");
        auto transport = makeLinuxTransportFactory();
        const Endpoint agentEndpoint{"127.0.0.1", port};

        // Pairing, before any load (the approval is answered on the agent's input).
        agent.approveNext();
        auto paired = phoneSession(agentEndpoint, *code, store, *identity, queue, transport, 0.2);
        if (!paired.helloAckMs) {
            std::cerr << "bench_load: pairing failed: " << paired.message << "\n";
            return 1;
        }
        const long rssIdle = residentKiB(agent.pid());
        const long fdsIdle = openDescriptors(agent.pid());
        std::printf("agent pid %d; unloaded: RSS %ld KiB, %ld descriptors; connect -> helloAck %.2f ms (pairing)\n",
                    static_cast<int>(agent.pid()), rssIdle, fdsIdle, *paired.helloAckMs);

        // The load, then time for it to build up.
        std::optional<IdleTcpLoad> tcpLoad;
        std::optional<HalfOpenQuicLoad> quicLoad;
        if (idle > 0) tcpLoad.emplace(port, idle);
        if (quic > 0) quicLoad.emplace(quicPort, *code, quic, wave);
        for (int i = 0; i < 100 && tcpLoad && tcpLoad->open() < idle; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));

        std::vector<double> helloAck;
        int refused = 0;
        long rssMax = 0, fdsMax = 0;
        int minIdleOpen = idle;
        long minHeld = quic;
        std::vector<double> quicHandshakes;
        int quicRefused = 0;
        for (int i = 0; i < sessions; ++i) {
            auto r = phoneSession(agentEndpoint, *code, store, *identity, queue, transport, 1.0);
            rssMax = std::max(rssMax, residentKiB(agent.pid()));
            fdsMax = std::max(fdsMax, openDescriptors(agent.pid()));
            if (tcpLoad) minIdleOpen = std::min(minIdleOpen, tcpLoad->open());
            if (quicLoad) minHeld = std::min(minHeld, quicLoad->handshakesHeld());
            if (!r.helloAckMs || r.endedEarly) {
                ++refused;
                std::printf("  session %d refused or cut: %s\n", i, r.message.c_str());
            } else {
                helloAck.push_back(*r.helloAckMs);
            }
            if (verbose) {
                std::printf("  session %d: %.2f ms, idle TCP open %d, QUIC half-open %ld\n", i,
                            r.helloAckMs.value_or(-1), tcpLoad ? tcpLoad->open() : 0,
                            quicLoad ? quicLoad->handshakesHeld() : 0);
            }
            if (i % 4 == 0) {
                if (auto ms = phoneQuicHandshake({"127.0.0.1", quicPort}, *code, queue, transport)) {
                    quicHandshakes.push_back(*ms);
                } else {
                    ++quicRefused;
                }
            }
        }
        std::printf("load: %d idle TCP connections wanted (fewest open while measured: %d; reopened after the agent "
                    "dropped them: %ld; refused or failed to connect: %ld)\n",
                    idle, minIdleOpen, tcpLoad ? tcpLoad->reopened() : 0, tcpLoad ? tcpLoad->refused() : 0);
        std::printf("      %d half-open QUIC handshakes per %.0f s wave (fewest held while measured: %ld; Retry "
                    "packets seen: %ld)\n",
                    quic, wave, minHeld, quicLoad ? quicLoad->retries() : 0);
        std::printf("agent under load: RSS up to %ld KiB (+%ld), up to %ld open descriptors\n", rssMax,
                    rssMax - rssIdle, fdsMax);
        if (!helloAck.empty()) {
            auto f = figuresOf(helloAck);
            std::printf("connect -> helloAck under load, %zu sessions (ms): p50 %.2f  p90 %.2f  max %.2f  mean %.2f  "
                        "(goal: at most 50)\n",
                        helloAck.size(), f.p50, f.p90, f.max, f.mean);
        }
        if (!quicHandshakes.empty()) {
            auto f = figuresOf(quicHandshakes);
            std::printf("phone's QUIC handshake under load (ms): p50 %.2f  max %.2f, %d failed\n", f.p50, f.max,
                        quicRefused);
        } else if (quic > 0) {
            std::printf("phone's QUIC handshake under load: all %d failed\n", quicRefused);
        }
        std::printf("phone refused or cut: %d of %d sessions (goal: never)\n", refused, sessions);
        if (refused > 0) status = 1;
        quicLoad.reset();
        tcpLoad.reset();
        queue->stop();
    }
    std::error_code ec;
    fs::remove_all(home, ec);
    return status;
}
