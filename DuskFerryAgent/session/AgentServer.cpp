#include "DuskFerryAgent/session/AgentServer.h"

#include "DuskFerryAgent/shell/L10n.h"
#include "platform/SerialQueue.h"
#include "protocol/TransportParameters.h"
#include "protocol/WireFrame.h"

namespace df {

// Classification state of one new connection (server queue only).
struct AgentServer::Classification {
    Bytes buffer;
    bool settled = false;
    WorkItemRef timeout;
    // The connection is owned here until it is settled: handed to a session, to the
    // current session as media, or cancelled. The transport does not keep an idle
    // connection alive by itself.
    std::shared_ptr<Connection> connection;
    // The receive loop, which refers to itself while a receive is pending.
    std::weak_ptr<std::function<void()>> step;
};

std::shared_ptr<AgentServer> AgentServer::create(std::string pairingCode, StatusCallback onStatus,
                                                 ServerServices services) {
    return std::shared_ptr<AgentServer>(
        new AgentServer(std::move(pairingCode), std::move(onStatus), std::move(services)));
}

AgentServer::AgentServer(std::string pairingCode, StatusCallback onStatus, ServerServices services)
    : code_(std::move(pairingCode)), onStatus_(std::move(onStatus)), services_(std::move(services)) {
    if (!services_.session.l10n) services_.session.l10n = std::make_shared<const L10n>(std::vector<std::string>{});
    queue_ = services_.queue ? services_.queue : std::shared_ptr<DispatchQueue>(SerialQueue::create("duskferry.server"));
}

AgentServer::~AgentServer() {
    if (listener_) listener_->cancel();
    if (quicListener_) quicListener_->cancel();
    // A connection still waiting for its first frame is held only by its own pending
    // receive: end it and its receive loop here, or both would outlive the server (and
    // keep the queue's context alive) when the queue stops before the receive completes.
    for (const auto& weak : classifying_) {
        auto state = weak.lock();
        if (!state) continue;
        state->settled = true;
        if (state->timeout) state->timeout->cancel();
        if (auto step = state->step.lock()) *step = nullptr;
        if (auto connection = std::move(state->connection)) connection->cancel();
    }
}

void AgentServer::report(const std::string& text) {
    if (onStatus_) onStatus_(text);
}

std::string AgentServer::sourceKey(const Endpoint& remote) { return remote.host; }

Bytes AgentServer::txtRecord(const std::vector<std::pair<std::string, std::string>>& entries) {
    Bytes out;
    for (const auto& [key, value] : entries) {
        std::string entry = key + "=" + value;
        out.push_back(static_cast<uint8_t>(entry.size()));  // entries above 255 bytes are not made
        out.insert(out.end(), entry.begin(), entry.end());
    }
    return out;
}

std::optional<uint16_t> AgentServer::tcpPort() const { return listener_ ? listener_->port() : std::nullopt; }

// ---------------------------------------------------------------------------------------
// Start.

void AgentServer::start() {
    auto self = shared_from_this();
    queue_->post([self] {
        std::shared_ptr<Listener> listener;
        try {
            listener = self->services_.transport->makeTcpTlsListener(Pairing::parameters(self->code_),
                                                                     self->services_.tcpPort,
                                                                     self->services_.bindHost);
        } catch (const TransportException& e) {
            self->report(self->l10n().tf("启动失败：%@", e.error().description));
            return;
        }
        std::weak_ptr<AgentServer> weak = self;
        std::weak_ptr<Listener> weakListener = listener;
        listener->setNewConnectionHandler([weak](std::shared_ptr<Connection> connection) {
            if (auto s = weak.lock()) s->onNewConnection(std::move(connection), false);
        });
        listener->setHandshakeFailureHandler([weak](const Endpoint& remote, const TransportError&) {
            if (auto s = weak.lock()) s->onHandshakeFailure(remote);
        });
        listener->setStateHandler([weak, weakListener](ListenerState state, const std::optional<TransportError>& error) {
            auto s = weak.lock();
            if (!s) return;
            if (state == ListenerState::failed) {
                // Phones must not go on finding a port nobody serves.
                if (s->advertised_ && s->services_.advertiser) s->services_.advertiser->withdraw();
                s->advertised_ = false;
                s->report(s->l10n().tf("监听失败：%@", error ? error->description : std::string()));
            } else if (state == ListenerState::ready) {
                auto l = weakListener.lock();
                if (l && l->port() && !s->advertised_) s->advertise(*l->port());
                s->report(s->l10n().t("等待连接…"));
            }
        });
        if (self->listener_) self->listener_->cancel();
        self->listener_ = listener;
        // The service is advertised once the port is bound (the state handler), never
        // before: a taken port must not send phones to whoever holds it.
        listener->start(self->queue_);
    });
}

void AgentServer::advertise(uint16_t port) {
    advertised_ = true;
    if (!services_.advertiser) return;
    DnsSdService service;
    service.name = services_.session.agentName;
    service.type = std::string(DFConstants::bonjourType);
    service.port = port;
    service.txt = txtRecord({{"kind", services_.deviceKind}, {"id", services_.session.macDeviceID}});
    std::weak_ptr<AgentServer> weak = weak_from_this();
    auto queue = queue_;
    services_.advertiser->advertise(service, [weak, queue](DnsSdAdvertiser::Event event, const std::string& detail) {
        if (event != DnsSdAdvertiser::Event::daemonUnavailable && event != DnsSdAdvertiser::Event::failed) return;
        // Advertising is a convenience: the listener keeps serving and the phone can still
        // connect by address. Tell the user once why the phone may not find this computer.
        queue->post([weak, detail] {
            if (auto s = weak.lock()) {
                s->report(s->l10n().tf("服务发现不可用（%@），请按地址连接", detail));
            }
        });
    });
}

// ---------------------------------------------------------------------------------------
// New connections and classification (server queue).

void AgentServer::onNewConnection(std::shared_ptr<Connection> connection, bool quicMedia) {
    std::string key = sourceKey(connection->remoteEndpoint());
    if (failures_.isLocked(key, lockoutNow())) {
        if (!quicMedia) report(l10n().tf("已拒绝：%@ 失败过多，暂时锁定", key));
        connection->cancel();
        return;
    }
    classify(std::move(connection), key, quicMedia);
}

void AgentServer::onHandshakeFailure(const Endpoint& remote) {
    // A failed TLS or QUIC handshake is almost always a wrong pairing code. Counting it like
    // a failed device authentication puts code guessing under the same lock-out; a phone
    // with the right code never fails a handshake.
    record(sourceKey(remote), false);
}

void AgentServer::classify(std::shared_ptr<Connection> connection, const std::string& source, bool quicMedia) {
    auto state = std::make_shared<Classification>();
    state->connection = connection;
    std::erase_if(classifying_, [](const std::weak_ptr<Classification>& w) { return w.expired(); });
    classifying_.push_back(state);
    std::weak_ptr<Connection> weakConnection = connection;
    state->timeout = queue_->postAfter(classifyTimeout, [weakConnection] {
        if (auto c = weakConnection.lock()) c->cancel();
    });
    connection->setStateHandler([weakConnection](ConnectionState s, const std::optional<TransportError>&) {
        if (s != ConnectionState::failed) return;
        if (auto c = weakConnection.lock()) c->cancel();
    });
    connection->start(queue_);

    std::weak_ptr<AgentServer> weak = weak_from_this();
    // One receive after another until the first frame is whole. `step` refers to itself
    // through the completions it installs; the reference is dropped when classification ends.
    auto step = std::make_shared<std::function<void()>>();
    state->step = step;
    *step = [weak, state, weakConnection, source, quicMedia, step] {
        auto c = weakConnection.lock();
        if (!c) return;
        c->receive(1, receiveMaximum, [weak, state, weakConnection, source, quicMedia, step](
                                          Bytes data, bool isComplete, std::optional<TransportError> error) {
            auto self = weak.lock();
            auto connection = weakConnection.lock();
            if (!self || state->settled || !connection) {
                if (connection && !state->settled) connection->cancel();  // the server is gone
                state->connection.reset();
                *step = nullptr;
                return;
            }
            auto finish = [&](bool cancelConnection) {
                state->settled = true;
                state->timeout->cancel();
                state->connection.reset();
                if (cancelConnection) connection->cancel();
                *step = nullptr;  // breaks the loop's self-reference
            };
            state->buffer.insert(state->buffer.end(), data.begin(), data.end());
            if (isComplete || error) {
                finish(true);
                return;
            }
            auto& buffer = state->buffer;
            if (buffer.size() < kWireHeaderSize) {
                (*step)();
                return;
            }
            uint64_t length = (uint64_t{buffer[1]} << 24) | (uint64_t{buffer[2]} << 16) |
                              (uint64_t{buffer[3]} << 8) | uint64_t{buffer[4]};
            if (length > static_cast<uint64_t>(DFConstants::maxFramePayload)) {
                finish(true);
                return;
            }
            if (buffer.size() < kWireHeaderSize + length) {
                (*step)();
                return;
            }
            finish(false);
            if (buffer[0] == rawValue(WireKind::mediaHello)) {
                auto begin = buffer.begin() + static_cast<std::ptrdiff_t>(kWireHeaderSize);
                Bytes token(begin, begin + static_cast<std::ptrdiff_t>(length));
                Bytes remainder(begin + static_cast<std::ptrdiff_t>(length), buffer.end());
                bool taken = false;
                if (self->session_) {
                    taken = quicMedia ? self->session_->attachQUICMedia(connection, token, remainder)
                                      : self->session_->attachMedia(connection, token, remainder);
                }
                if (!taken) connection->cancel();
                return;
            }
            if (quicMedia) {
                connection->cancel();  // a QUIC stream must open with a media hello
                return;
            }
            if (self->session_) self->session_->close();
            std::weak_ptr<AgentServer> weakServer = self;
            auto session = AgentSession::create(
                connection, self->queue_, self->onStatus_,
                [weakServer, source](bool success) {
                    if (auto s = weakServer.lock()) {
                        s->queue_->post([weakServer, source, success] {
                            if (auto s2 = weakServer.lock()) s2->record(source, success);
                        });
                    }
                },
                [weakServer]() -> std::optional<uint16_t> {
                    auto s = weakServer.lock();
                    return s ? s->quicPortProvider() : std::nullopt;
                },
                self->services_.session);
            self->session_ = session;
            session->start(std::move(buffer));
        });
    };
    (*step)();
}

// ---------------------------------------------------------------------------------------
// Failure record and QUIC (server queue).

double AgentServer::lockoutNow() const {
    return services_.lockoutClock ? services_.lockoutClock->uptime() : queue_->now();
}

void AgentServer::record(const std::string& source, bool success) {
    failures_.record(source, success, lockoutNow());
    if (services_.onFailureRecorded) {
        const FailureRecord::Entry* entry = failures_.entry(source);
        services_.onFailureRecorded(source, entry ? *entry : FailureRecord::Entry{});
    }
}

void AgentServer::startQUICListener(bool fixedPort) {
    std::shared_ptr<Listener> listener;
    try {
        listener = services_.transport->makeQuicListener(Pairing::quicParameters(code_),
                                                         fixedPort ? services_.quicPort : 0, services_.bindHost);
    } catch (const TransportException&) {
        // Unusable parameters fail the same way as a listener that cannot bind.
        if (fixedPort && !quicAnyPortRetried_) {
            quicAnyPortRetried_ = true;
            startQUICListener(false);
        } else {
            quicFailedPermanently_ = true;
            report(l10n().t("QUIC 监听失败，视频走 TCP"));
        }
        return;
    }
    std::weak_ptr<AgentServer> weak = weak_from_this();
    std::weak_ptr<Listener> weakListener = listener;
    listener->setNewConnectionHandler([weak](std::shared_ptr<Connection> connection) {
        if (auto s = weak.lock()) s->onNewConnection(std::move(connection), true);
    });
    listener->setHandshakeFailureHandler([weak](const Endpoint& remote, const TransportError&) {
        if (auto s = weak.lock()) s->onHandshakeFailure(remote);
    });
    // A QUIC handshake completes before any stream reaches us, so the lock-out has to act
    // before the handshake: a locked-out address gets no answer at all, and so cannot go
    // on testing codes over QUIC while its TCP connections are refused.
    listener->setAdmissionFilter([weak](const Endpoint& remote) {
        auto s = weak.lock();
        if (!s) return false;
        bool locked = false;
        auto check = [&] { locked = s->failures_.isLocked(sourceKey(remote), s->lockoutNow()); };
        // The real transport calls this on the server queue itself; hop there otherwise.
        if (s->queue_->isCurrent()) {
            check();
        } else {
            s->queue_->sync(check);
        }
        return !locked;
    });
    listener->setStateHandler([weak, weakListener, fixedPort](ListenerState state,
                                                              const std::optional<TransportError>&) {
        auto s = weak.lock();
        auto l = weakListener.lock();
        if (!s || !l || s->quicListener_ != l) return;
        if (state == ListenerState::ready) {
            s->quicPort_ = l->port();
        } else if (state == ListenerState::failed) {
            s->quicPort_.reset();
            s->quicListener_.reset();
            l->cancel();
            if (fixedPort && !s->quicAnyPortRetried_) {
                s->quicAnyPortRetried_ = true;
                s->startQUICListener(false);
            } else {
                s->quicFailedPermanently_ = true;
                s->report(s->l10n().t("QUIC 监听失败，视频走 TCP"));
            }
        }
    });
    quicListener_ = listener;
    listener->start(queue_);
}

std::optional<uint16_t> AgentServer::quicPortProvider() {
    if (quicFailedPermanently_) return std::nullopt;
    if (!quicListener_) startQUICListener(true);
    return quicPort_;
}

}  // namespace df
