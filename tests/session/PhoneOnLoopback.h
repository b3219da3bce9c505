#pragma once
// A phone for integration tests and benchmarks: the client side of the real transport
// (TLS 1.2 PSK over TCP, QUIC streams) on loopback, with blocking helpers that wait for
// what the agent sends. Its connection runs on its own serial queue "phone".

#include "platform/SerialQueue.h"
#include "platform/Transport.h"
#include "protocol/ControlMessage.h"
#include "protocol/DeviceAuth.h"
#include "protocol/TransportParameters.h"
#include "protocol/WireFrame.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace df::testsupport {

class PhoneConnection {
    struct Shared;

public:
    PhoneConnection(std::shared_ptr<TransportFactory> transport, std::shared_ptr<DispatchQueue> queue)
        : transport_(std::move(transport)), queue_(std::move(queue)) {}
    ~PhoneConnection() { cancel(); }

    void connectTcp(const Endpoint& remote, const std::string& code) {
        start(transport_->connectTcpTls(remote, Pairing::parameters(code)));
    }
    void connectQuic(const Endpoint& remote, const std::string& code) {
        start(transport_->connectQuic(remote, Pairing::quicParameters(code)));
    }
    /// True once ready; false when it failed, was cancelled or the time ran out.
    bool waitReady(double seconds = 5) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return state_ >= ConnectionState::ready; });
        return state_ == ConnectionState::ready;
    }
    /// True once the agent ended the connection (end of stream, failure or cancel).
    bool waitEnded(double seconds = 5) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return ended_; });
    }
    void sendRaw(Bytes bytes) {
        connection_->send(std::move(bytes), [](std::optional<TransportError>) {});
    }
    void send(const ControlMessage& message) { sendRaw(message.encodedFrame().value()); }
    void sendMediaHello(const Bytes& token) { sendRaw(WireFrame::encode(WireKind::mediaHello, token)); }

    /// The next frame the agent sent, if one arrives in time.
    std::optional<WireFrame> nextFrame(double seconds = 5) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return !frames_.empty(); })) {
            return std::nullopt;
        }
        auto f = std::move(frames_.front());
        frames_.pop_front();
        return f;
    }
    /// Skips control messages until one of type T arrives.
    template <class T>
    std::optional<T> waitFor(double seconds = 5) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (true) {
            double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) return std::nullopt;
            auto f = nextFrame(left);
            if (!f) return std::nullopt;
            if (f->kind != WireKind::control) continue;
            auto m = ControlMessage::decode(std::span<const uint8_t>(f->payload));
            if (m && m->is<T>()) return *m->get<T>();
        }
    }
    void cancel() {
        if (connection_) connection_->cancel();
    }

private:
    void start(std::shared_ptr<Connection> c) {
        connection_ = std::move(c);
        connection_->setStateHandler([sh = shared_](ConnectionState s, const std::optional<TransportError>&) {
            std::lock_guard lock(sh->mutex);
            if (s > sh->state || s == ConnectionState::failed || s == ConnectionState::cancelled) sh->state = s;
            if (s == ConnectionState::failed || s == ConnectionState::cancelled) sh->ended = true;
            sh->cv.notify_all();
        });
        connection_->start(queue_);
        receive(connection_, shared_);
    }
    static void receive(const std::shared_ptr<Connection>& c, const std::shared_ptr<Shared>& sh) {
        std::weak_ptr<Connection> weak = c;
        c->receive(1, 1 << 20, [weak, sh](Bytes data, bool complete, std::optional<TransportError> error) {
            std::lock_guard lock(sh->mutex);
            for (auto& f : sh->parser.append(data)) sh->frames.push_back(std::move(f));
            if (complete || error || sh->parser.corrupted()) {
                sh->ended = true;
            } else if (auto conn = weak.lock()) {
                receive(conn, sh);
            }
            sh->cv.notify_all();
        });
    }

    // Shared with the transport's callbacks, which may run after this object is gone.
    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        ConnectionState state = ConnectionState::setup;
        bool ended = false;
        WireParser parser;
        std::deque<WireFrame> frames;
    };

    std::shared_ptr<TransportFactory> transport_;
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<Connection> connection_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::mutex& mutex_ = shared_->mutex;
    std::condition_variable& cv_ = shared_->cv;
    ConnectionState& state_ = shared_->state;
    bool& ended_ = shared_->ended;
    std::deque<WireFrame>& frames_ = shared_->frames;
};

}  // namespace df::testsupport
