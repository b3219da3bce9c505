#include "DuskFerryAgent/session/AgentServer.h"

#include "DuskFerryAgent/shell/L10n.h"
#include "platform/SerialQueue.h"
#include "protocol/TransportParameters.h"
#include "protocol/WireFrame.h"

#include <arpa/inet.h>

#include <algorithm>
#include <limits>

namespace df {

// One unauthenticated TCP connection of a source (server queue only). It ends when the
// connection authenticates, is handed over as media, or goes away.
struct AgentServer::Attempt {
    std::string source;
    // Held here while its handshake waits for its turn (over the failure budget).
    std::shared_ptr<Connection> waiting;
    std::weak_ptr<Connection> connection;
    std::weak_ptr<AgentSession> session;
    bool inSession = false;
    bool ended = false;
};

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
    if (slowTimer_) slowTimer_->cancel();
    for (const auto& attempt : attempts_) {
        if (attempt->waiting) attempt->waiting->cancel();
    }
    for (const auto& newcomer : newcomers_) newcomer->close();
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

std::string AgentServer::sourceKey(const Endpoint& remote) {
    // A zone ("fe80::1%eth0") names the interface, not the host's network.
    std::string host = remote.host.substr(0, remote.host.find('%'));
    in6_addr address{};
    if (host.find(':') == std::string::npos || ::inet_pton(AF_INET6, host.c_str(), &address) != 1) return remote.host;
    std::fill(address.s6_addr + 8, address.s6_addr + 16, uint8_t{0});
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET6, &address, text, sizeof text) == nullptr) return remote.host;
    return std::string(text) + "/64";
}

std::vector<std::shared_ptr<AgentSession>> AgentServer::newcomers() const {
    std::vector<std::shared_ptr<AgentSession>> open;
    for (const auto& s : newcomers_) {
        if (!s->isClosed()) open.push_back(s);
    }
    return open;
}

size_t AgentServer::attempts() const {
    return static_cast<size_t>(std::count_if(attempts_.begin(), attempts_.end(), [](const auto& a) {
        auto session = a->session.lock();
        if (a->ended) return false;
        return a->inSession ? session && !session->isClosed() : a->waiting || !a->connection.expired();
    }));
}

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
    if (quicMedia) {
        // A stream of a QUIC connection whose handshake was admitted and succeeded.
        if (failures_.isLocked(key, lockoutNow())) {
            connection->cancel();
            return;
        }
        classify(std::move(connection), key, true, nullptr);
        return;
    }
    sweepAttempts();
    const double now = lockoutNow();
    // Locked, or the attempts already under way would reach the threshold should they all
    // fail: refused before its handshake, so parallel guesses cannot outrun the count.
    if (failures_.isLocked(key, now)) {
        report(l10n().tf("已拒绝：%@ 失败过多，暂时锁定", key));
        connection->cancel();
        return;
    }
    makeRoomFor(key);
    auto attempt = std::make_shared<Attempt>();
    attempt->source = key;
    attempt->connection = connection;
    attempts_.push_back(attempt);
    failures_.beginAttempt(key, now);
    attempt->waiting = std::move(connection);
    startWaiting();
}

// ---------------------------------------------------------------------------------------
// Attempts (server queue).

void AgentServer::endAttempt(const std::shared_ptr<Attempt>& attempt) {
    if (!attempt || attempt->ended) return;
    attempt->ended = true;
    attempt->waiting.reset();
    failures_.endAttempt(attempt->source);
    std::erase(attempts_, attempt);
}

void AgentServer::evict(const std::shared_ptr<Attempt>& attempt) {
    auto connection = attempt->waiting ? attempt->waiting : attempt->connection.lock();
    auto session = attempt->session.lock();
    endAttempt(attempt);
    if (session) {
        std::erase(newcomers_, session);
        session->close();
    }
    if (connection) connection->cancel();
}

void AgentServer::sweepAttempts() {
    std::erase_if(newcomers_, [](const auto& s) { return s->isClosed(); });
    for (auto attempt : std::vector(attempts_)) {
        // A session that went away without a result (declined, disconnected) ends its attempt.
        auto session = attempt->session.lock();
        bool gone = attempt->inSession ? (!session || session->isClosed())
                                       : (!attempt->waiting && attempt->connection.expired());
        if (gone) endAttempt(attempt);
    }
}

void AgentServer::makeRoomFor(const std::string& source) {
    // The oldest attempt of the same source makes room: a host cannot hold more than its
    // share, and a phone that reconnects is never refused because of its own stale attempts.
    // Attempts that have not opened a session yet go first: a connection that has proved the
    // code and said hello is further along than one that sits idle.
    auto oldestOf = [this](const auto& matches) {
        auto idle = std::find_if(attempts_.begin(), attempts_.end(),
                                 [&](const auto& a) { return matches(a) && !a->inSession; });
        return idle != attempts_.end() ? *idle : *std::find_if(attempts_.begin(), attempts_.end(), matches);
    };
    auto isSource = [&](const std::shared_ptr<Attempt>& a) { return a->source == source; };
    if (static_cast<size_t>(std::count_if(attempts_.begin(), attempts_.end(), isSource)) >= maxAttemptsPerSource) {
        evict(oldestOf(isSource));
    }
    if (attempts_.size() < maxAttempts) return;
    // Overall: the busiest source gives up an attempt, so many connections from a few hosts
    // cannot push out the one attempt of another; of equally busy ones, the oldest attempt.
    std::map<std::string, size_t> perSource;
    size_t most = 0;
    for (const auto& a : attempts_) most = std::max(most, ++perSource[a->source]);
    auto busiest = [&](const std::shared_ptr<Attempt>& a) { return perSource[a->source] == most; };
    evict(oldestOf(busiest));
}

void AgentServer::startWaiting() {
    for (;;) {
        auto waiting = [](const auto& a) { return a->waiting != nullptr; };
        if (std::none_of(attempts_.begin(), attempts_.end(), waiting)) return;
        std::shared_ptr<Attempt> next;
        if (!failures_.overBudget(lockoutNow())) {
            lastStartOf_.clear();
            next = *std::find_if(attempts_.begin(), attempts_.end(), waiting);
        } else {
            // Over the failure budget: one handshake per interval, and the source that
            // started one least recently goes first, so one host's queue of attempts never
            // stands before another host's first.
            const double now = queue_->now();
            if (now < nextSlowStart_) {
                if (!slowTimer_) {
                    std::weak_ptr<AgentServer> weak = weak_from_this();
                    slowTimer_ = queue_->postAfter(nextSlowStart_ - now, [weak] {
                        if (auto s = weak.lock()) {
                            s->slowTimer_.reset();
                            s->startWaiting();
                        }
                    });
                }
                return;
            }
            auto turn = [this](const std::shared_ptr<Attempt>& a) {
                auto it = lastStartOf_.find(a->source);
                return it == lastStartOf_.end() ? -std::numeric_limits<double>::infinity() : it->second;
            };
            for (const auto& a : attempts_) {
                if (a->waiting && (!next || turn(a) < turn(next))) next = a;
            }
            if (lastStartOf_.size() > FailureRecord::maxEntries) lastStartOf_.clear();
            lastStartOf_[next->source] = now;
            nextSlowStart_ = now + slowedHandshakeInterval;
        }
        auto connection = std::move(next->waiting);
        next->waiting.reset();
        classify(std::move(connection), next->source, false, next);
    }
}

bool AgentServer::admitQuic(const Endpoint& remote) {
    if (failures_.isLocked(sourceKey(remote), lockoutNow())) return false;
    if (!failures_.overBudget(lockoutNow())) return true;
    // Over budget, QUIC handshakes share the slowed pace of the TCP ones; a refused Initial
    // is dropped unanswered and the peer's retransmission asks again.
    const double now = queue_->now();
    if (now < nextSlowStart_) return false;
    nextSlowStart_ = now + slowedHandshakeInterval;
    return true;
}

void AgentServer::onHandshakeFailure(const Endpoint& remote) {
    // A failed TLS or QUIC handshake is almost always a wrong pairing code. Counting it like
    // a failed device authentication puts code guessing under the same lock-out; a phone
    // with the right code never fails a handshake.
    record(sourceKey(remote), false);
}

void AgentServer::classify(std::shared_ptr<Connection> connection, const std::string& source, bool quicMedia,
                           std::shared_ptr<Attempt> attempt) {
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
    std::weak_ptr<Attempt> weakAttempt = attempt;
    *step = [weak, state, weakConnection, source, quicMedia, step, weakAttempt] {
        auto c = weakConnection.lock();
        if (!c) return;
        c->receive(1, receiveMaximum, [weak, state, weakConnection, source, quicMedia, step, weakAttempt](
                                          Bytes data, bool isComplete, std::optional<TransportError> error) {
            auto self = weak.lock();
            auto connection = weakConnection.lock();
            if (!self || state->settled || !connection) {
                if (connection && !state->settled) connection->cancel();  // the server is gone
                state->connection.reset();
                *step = nullptr;
                return;
            }
            auto attempt = weakAttempt.lock();
            auto finish = [&](bool cancelConnection) {
                state->settled = true;
                state->timeout->cancel();
                state->connection.reset();
                if (cancelConnection) connection->cancel();
                *step = nullptr;  // breaks the loop's self-reference
            };
            // Every way out but a new session ends the attempt here.
            auto finishAttempt = [&](bool cancelConnection) {
                finish(cancelConnection);
                self->endAttempt(attempt);
            };
            state->buffer.insert(state->buffer.end(), data.begin(), data.end());
            if (isComplete || error) {
                finishAttempt(true);
                return;
            }
            auto& buffer = state->buffer;
            if (buffer.size() < kWireHeaderSize) {
                (*step)();
                return;
            }
            uint64_t length = (uint64_t{buffer[1]} << 24) | (uint64_t{buffer[2]} << 16) |
                              (uint64_t{buffer[3]} << 8) | uint64_t{buffer[4]};
            // The first frame comes before authentication: a hello or a media hello, both
            // small. A longer one is not buffered at all.
            if (length > preAuthFrameLimit) {
                finishAttempt(true);
                return;
            }
            if (buffer.size() < kWireHeaderSize + length) {
                (*step)();
                return;
            }
            if (buffer[0] != rawValue(WireKind::mediaHello) && !quicMedia) {
                finish(false);
                self->openSession(connection, std::move(buffer), source, attempt);
                return;
            }
            finishAttempt(false);
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
            connection->cancel();  // a QUIC stream must open with a media hello
        });
    };
    (*step)();
}

void AgentServer::openSession(std::shared_ptr<Connection> connection, Bytes initialData, const std::string& source,
                              std::shared_ptr<Attempt> attempt) {
    // The newcomer runs beside the current session and replaces it only once it has
    // authenticated: a peer that merely knows the pairing code cannot end the phone's session.
    std::weak_ptr<AgentServer> weakServer = weak_from_this();
    std::weak_ptr<Attempt> weakAttempt = attempt;
    auto self = std::make_shared<std::weak_ptr<AgentSession>>();
    auto onAuthResult = [weakServer, source, weakAttempt, self](bool success) {
        // Called by the session on the server queue, before it begins on success.
        auto s = weakServer.lock();
        if (!s) return;
        s->record(source, success);
        s->endAttempt(weakAttempt.lock());
        if (auto session = self->lock(); session && success) s->authenticated(session);
    };
    // While another session is current, the newcomer's "connected" and "waiting" lines would
    // misreport the phone that is still connected; its pairing texts still reach the user.
    auto onStatus = [weakServer, self](const std::string& text) {
        auto s = weakServer.lock();
        if (!s) return;
        auto me = self->lock();
        bool someoneElse = s->session_ && s->session_ != me && !s->session_->isClosed();
        if (someoneElse && (text == s->l10n().t("已连接，等待握手…") || text == s->l10n().t("等待连接…"))) return;
        s->report(text);
    };
    auto session = AgentSession::create(
        std::move(connection), queue_, std::move(onStatus), std::move(onAuthResult),
        [weakServer]() -> std::optional<uint16_t> {
            auto s = weakServer.lock();
            return s ? s->quicPortProvider() : std::nullopt;
        },
        services_.session);
    *self = session;
    if (attempt) {
        attempt->session = session;
        attempt->inSession = true;
    }
    newcomers_.push_back(session);
    session->start(std::move(initialData));
}

void AgentServer::authenticated(const std::shared_ptr<AgentSession>& session) {
    std::erase(newcomers_, session);
    if (session_ == session) return;  // a hello again on the current session
    auto previous = std::exchange(session_, session);
    // Torn down before the newcomer begins: its capture stops and its "Waiting for
    // connection…" comes before the newcomer's "Connected".
    if (previous) previous->closeAtOnce();
}

// ---------------------------------------------------------------------------------------
// Failure record and QUIC (server queue).

double AgentServer::lockoutNow() const {
    return services_.lockoutClock ? services_.lockoutClock->uptime() : queue_->now();
}

void AgentServer::record(const std::string& source, bool success) {
    if (failures_.record(source, success, lockoutNow())) {
        // Failures from everywhere at once: someone is guessing the pairing code from many
        // addresses. New handshakes are slowed from now on; the person at the computer hears
        // of it once per episode.
        report(l10n().t("配对尝试多次失败"));
    }
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
        bool admitted = false;
        auto check = [&] { admitted = s->admitQuic(remote); };
        // The real transport calls this on the server queue itself; hop there otherwise.
        if (s->queue_->isCurrent()) {
            check();
        } else {
            s->queue_->sync(check);
        }
        return admitted;
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
