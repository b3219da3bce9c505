// Throughput and handshake time of the real transport on loopback, and the same bytes
// moved by OpenSSL's own s_server/s_client for comparison.
//
//   bench_transport --benchmark_filter=Throughput
//
// TLS is measured with the phone's suite, PSK-AES128-GCM-SHA256, on both sides.
#include "platform/SerialQueue.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "protocol/TransportParameters.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace df {
namespace {

constexpr const char* kCode = "250617";
constexpr size_t kMessage = 256 * 1024;
constexpr size_t kTotal = 256 * 1024 * 1024;

TcpParameters phoneSuiteOnly() {
    TcpParameters p = Pairing::parameters(kCode);
    p.tls.preferredForwardSecretSuites.clear();
    return p;
}

/// Waits for a flag set on another queue.
struct Latch {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    void set() {
        std::lock_guard lock(mutex);
        done = true;
        cv.notify_all();
    }
    bool wait(double seconds) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done; });
    }
};

/// A listener whose first connection is started and handed over.
struct Server {
    Server(bool quic) {
        auto factory = makeLinuxTransportFactory();
        listener = quic ? factory->makeQuicListener(Pairing::quicParameters(kCode), 0, "127.0.0.1")
                        : factory->makeTcpTlsListener(phoneSuiteOnly(), 0, "127.0.0.1");
        listener->setNewConnectionHandler([this](std::shared_ptr<Connection> c) {
            c->start(queue);
            std::lock_guard lock(mutex);
            accepted.push_back(c);
            cv.notify_all();
        });
        listener->start(queue);
        for (int i = 0; i < 200 && !listener->port(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~Server() {
        queue->sync([&] {
            for (auto& c : accepted) c->cancel();
            listener->cancel();
        });
        queue->shutdown();
        accepted.clear();
        listener.reset();
    }
    std::shared_ptr<Connection> waitForConnection(size_t index) {
        std::unique_lock lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return accepted.size() > index; });
        return accepted.size() > index ? accepted[index] : nullptr;
    }
    std::shared_ptr<SerialQueue> queue = SerialQueue::create("duskferry.server");
    std::shared_ptr<Listener> listener;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::shared_ptr<Connection>> accepted;
};

std::shared_ptr<Connection> connect(bool quic, uint16_t port) {
    auto factory = makeLinuxTransportFactory();
    return quic ? factory->connectQuic({"127.0.0.1", port}, Pairing::quicParameters(kCode))
                : factory->connectTcpTls({"127.0.0.1", port}, phoneSuiteOnly());
}

void drain(std::shared_ptr<Connection> connection, std::shared_ptr<size_t> received, size_t target,
           std::shared_ptr<Latch> latch) {
    std::weak_ptr<Connection> weak = connection;
    connection->receive(1, 1 << 20, [weak, received, target, latch](Bytes data, bool complete,
                                                                     std::optional<TransportError> error) {
        *received += data.size();
        if (*received >= target || complete || error) {
            latch->set();
            return;
        }
        if (auto c = weak.lock()) drain(c, received, target, latch);
    });
}

/// The agent sends kTotal bytes in kMessage messages (as it sends video); the phone drains.
void throughput(benchmark::State& state, bool quic) {
    Server server(quic);
    auto phoneQueue = SerialQueue::create("phone");
    auto phone = connect(quic, server.listener->port().value_or(0));
    auto ready = std::make_shared<Latch>();
    phone->setStateHandler([ready](ConnectionState s, const std::optional<TransportError>&) {
        if (s == ConnectionState::ready) ready->set();
    });
    phone->start(phoneQueue);
    phone->send(Bytes{1}, nullptr);  // a QUIC stream exists for the server once it carries data
    if (!ready->wait(5)) {
        state.SkipWithError("no connection");
        return;
    }
    auto agent = server.waitForConnection(0);
    if (!agent) {
        state.SkipWithError("not accepted");
        return;
    }
    Bytes message(kMessage, 0x5a);
    for (auto _ : state) {
        auto received = std::make_shared<size_t>(0);
        auto latch = std::make_shared<Latch>();
        const auto start = std::chrono::steady_clock::now();
        phoneQueue->post([&] { drain(phone, received, kTotal, latch); });
        server.queue->post([&] {
            for (size_t sent = 0; sent < kTotal; sent += kMessage) agent->send(message, nullptr);
        });
        if (!latch->wait(60) || *received < kTotal) {
            state.SkipWithError("transfer did not finish");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
    phoneQueue->sync([&] { phone->cancel(); });
    phoneQueue->shutdown();
}

void BM_TlsThroughput(benchmark::State& state) { throughput(state, false); }
void BM_QuicThroughputOneStream(benchmark::State& state) { throughput(state, true); }
BENCHMARK(BM_TlsThroughput)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_QuicThroughputOneStream)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

/// OpenSSL's own tools moving the same number of bytes with the same suite: s_client reads
/// them from a file and s_server writes them to /dev/null; timed from the first byte sent
/// (after both processes started) to s_server's exit.
void BM_OpenSslToolsThroughput(benchmark::State& state) {
    const std::string file = "/tmp/df-bench-payload.bin";
    {
        FILE* f = fopen(file.c_str(), "wb");
        if (!f) {
            state.SkipWithError("no temp file");
            return;
        }
        Bytes chunk(1 << 20, 0x5a);
        for (size_t i = 0; i < kTotal; i += chunk.size()) fwrite(chunk.data(), 1, chunk.size(), f);
        fclose(f);
    }
    std::string key;
    {
        static const char* digits = "0123456789abcdef";
        for (uint8_t b : Pairing::tlsOptions(kCode).psk.key) {
            key += digits[b >> 4];
            key += digits[b & 15];
        }
    }
    const std::string port = "45391";
    for (auto _ : state) {
        std::string server = "sleep 60 | openssl s_server -quiet -accept 127.0.0.1:" + port + " -nocert -psk " + key +
                             " -psk_identity duskferry -tls1_2 -cipher PSK-AES128-GCM-SHA256 -naccept 1 >/dev/null 2>&1 & "
                             "echo $!";
        FILE* p = popen(server.c_str(), "r");
        int pid = 0;
        if (!p || fscanf(p, "%d", &pid) != 1) {
            state.SkipWithError("s_server did not start");
            break;
        }
        pclose(p);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto start = std::chrono::steady_clock::now();
        std::string client = "openssl s_client -quiet -no_ign_eof -connect 127.0.0.1:" + port + " -psk " + key +
                             " -psk_identity duskferry -tls1_2 -cipher PSK-AES128-GCM-SHA256 <" + file +
                             " >/dev/null 2>&1; while kill -0 " + std::to_string(pid) + " 2>/dev/null; do sleep 0.001; done";
        if (std::system(client.c_str()) != 0) {
            state.SkipWithError("s_client failed");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        std::system(("pkill -P $(ps -o ppid= -p " + std::to_string(pid) + ") sleep 2>/dev/null; true").c_str());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
    std::remove(file.c_str());
}
BENCHMARK(BM_OpenSslToolsThroughput)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

/// Time from start() to `ready` for a fresh connection to a running listener.
void handshake(benchmark::State& state, bool quic) {
    Server server(quic);
    auto phoneQueue = SerialQueue::create("phone");
    size_t index = 0;
    for (auto _ : state) {
        auto phone = connect(quic, server.listener->port().value_or(0));
        auto ready = std::make_shared<Latch>();
        phone->setStateHandler([ready](ConnectionState s, const std::optional<TransportError>&) {
            if (s == ConnectionState::ready) ready->set();
        });
        const auto start = std::chrono::steady_clock::now();
        phone->start(phoneQueue);
        if (!ready->wait(5)) {
            state.SkipWithError("no handshake");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        phoneQueue->sync([&] { phone->cancel(); });
        if (!quic) server.waitForConnection(index++);
    }
    phoneQueue->shutdown();
}
void BM_TlsHandshake(benchmark::State& state) { handshake(state, false); }
void BM_QuicHandshake(benchmark::State& state) { handshake(state, true); }
BENCHMARK(BM_TlsHandshake)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(50);
BENCHMARK(BM_QuicHandshake)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(50);

}  // namespace
}  // namespace df
