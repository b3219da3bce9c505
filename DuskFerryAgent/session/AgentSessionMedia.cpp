// Media channels (a TCP media connection and a QUIC media stream, each proven by the media
// token), the choice of connection for outgoing media, and the heartbeat watchdog.
// Session queue only; handlers hold the session and the connection weakly and compare the
// connection with the attached one before acting, so late events of a replaced connection
// do nothing.

#include "DuskFerryAgent/session/AgentSession.h"
#include "DuskFerryAgent/shell/L10n.h"

#include <openssl/crypto.h>

namespace df {

bool AgentSession::attachMedia(std::shared_ptr<Connection> connection, const Bytes& token, const Bytes& remainder) {
    return attach(std::move(connection), token, remainder, false);
}

bool AgentSession::attachQUICMedia(std::shared_ptr<Connection> connection, const Bytes& token,
                                   const Bytes& remainder) {
    return attach(std::move(connection), token, remainder, true);
}

bool AgentSession::attach(std::shared_ptr<Connection> connection, const Bytes& token, const Bytes& remainder,
                          bool quic) {
    // The token is a secret a stranger may probe byte by byte: compared in constant time.
    if (closed_ || closeRequested_ || authState_ != AuthState::authed || mediaToken_.empty() ||
        token.size() != mediaToken_.size() ||
        CRYPTO_memcmp(token.data(), mediaToken_.data(), mediaToken_.size()) != 0) {
        return false;
    }
    auto& slot = quic ? quicMediaConnection_ : mediaConnection_;
    auto& parser = quic ? quicParser_ : mediaParser_;
    if (slot) slot->cancel();
    parser.reset();
    slot = connection;
    if (quic) Pairing::applyQUICKeepalive(*connection);

    std::weak_ptr<AgentSession> weakSelf = weak_from_this();
    std::weak_ptr<Connection> weakConnection = connection;
    connection->setStateHandler([weakSelf, weakConnection, quic](ConnectionState state,
                                                                 const std::optional<TransportError>&) {
        bool ends = state == ConnectionState::failed || (quic && state == ConnectionState::cancelled);
        if (!ends) return;
        auto self = weakSelf.lock();
        auto conn = weakConnection.lock();
        if (self && conn) self->detachMedia(conn, quic);
    });

    if (!remainder.empty()) {
        for (const auto& frame : parser.append(remainder)) handle(frame);
        if (parser.corrupted()) {
            detachMedia(connection, quic);
            return true;
        }
    }
    mediaReceiveLoop(connection, quic);
    return true;
}

void AgentSession::detachMedia(const std::shared_ptr<Connection>& connection, bool quic) {
    auto& slot = quic ? quicMediaConnection_ : mediaConnection_;
    if (slot != connection) return;
    slot.reset();
    connection->cancel();
}

void AgentSession::mediaReceiveLoop(std::shared_ptr<Connection> connection, bool quic) {
    std::weak_ptr<AgentSession> weakSelf = weak_from_this();
    std::weak_ptr<Connection> weakConnection = connection;
    if (files_->receivingBacklogged()) {
        // Received file chunks wait for the disk: read on once they are written.
        files_->whenDrained([weakSelf, weakConnection, quic] {
            auto self = weakSelf.lock();
            auto conn = weakConnection.lock();
            if (self && conn && !self->closed_ && (quic ? self->quicMediaConnection_ : self->mediaConnection_) == conn)
                self->mediaReceiveLoop(conn, quic);
        });
        return;
    }
    connection->receive(1, receiveMaximum, [weakSelf, weakConnection, quic](Bytes data, bool isComplete,
                                                                           std::optional<TransportError> error) {
        auto self = weakSelf.lock();
        auto conn = weakConnection.lock();
        if (!self || !conn || self->closed_) return;
        if ((quic ? self->quicMediaConnection_ : self->mediaConnection_) != conn) return;
        auto& parser = quic ? self->quicParser_ : self->mediaParser_;
        if (!data.empty()) {
            for (const auto& frame : parser.append(data)) {
                self->handle(frame);
                // A frame may have ended the channel or the session (e.g. a new hello).
                if ((quic ? self->quicMediaConnection_ : self->mediaConnection_) != conn) return;
            }
        }
        if (!isComplete && !error && !parser.corrupted()) {
            self->mediaReceiveLoop(conn, quic);
            return;
        }
        self->detachMedia(conn, quic);
    });
}

std::shared_ptr<Connection> AgentSession::outgoingMediaConnection() const {
    if (quicMediaConnection_) return quicMediaConnection_;
    if (mediaConnection_) return mediaConnection_;
    return connection_;
}

void AgentSession::sendMedia(WireKind kind, const Bytes& payload, Connection::SendCompletion completion) {
    if (closed_) return;
    if (!completion) completion = [](std::optional<TransportError>) {};
    outgoingMediaConnection()->send(WireFrame::encode(kind, payload), std::move(completion));
}

void AgentSession::startHeartbeatWatchdog() {
    lastHeartbeatAt_ = queue_->now();
    if (heartbeatWatchdog_) heartbeatWatchdog_->cancel();
    std::weak_ptr<AgentSession> weak = weak_from_this();
    heartbeatWatchdog_ = queue_->repeating(heartbeatTick, [weak] {
        auto self = weak.lock();
        if (!self || self->closed_) return;
        if (self->queue_->now() - self->lastHeartbeatAt_ > heartbeatLimit) {
            self->report(self->services_.l10n->t("客户端失联，结束会话"));
            self->close();
        }
    });
}

}  // namespace df
