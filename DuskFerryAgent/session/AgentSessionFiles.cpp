// The session's side of file transfer: what the FileTransfer component may ask of the
// session it belongs to. Session queue only; every callback holds the session weakly.

#include "DuskFerryAgent/session/AgentSession.h"

namespace df {

void AgentSession::makeFileTransfer() {
    std::weak_ptr<AgentSession> weak = weak_from_this();
    FileTransfer::Session s;
    s.queue = queue_;
    s.report = [weak](const std::string& text) {
        if (auto self = weak.lock()) self->report(text);
    };
    s.onMain = [weak](std::function<void()> task) {
        if (auto self = weak.lock()) self->onMain(std::move(task));
    };
    s.ready = [weak] {
        auto self = weak.lock();
        return self && !self->closed_ && self->authState_ == AuthState::authed;
    };
    s.closed = [weak] {
        auto self = weak.lock();
        return !self || self->closed_;
    };
    s.videoInFlight = [weak] {
        auto self = weak.lock();
        return self ? self->video_.videoInFlight : 0;
    };
    s.fileConnection = [weak]() -> std::shared_ptr<Connection> {
        auto self = weak.lock();
        if (!self) return nullptr;
        return self->mediaConnection_ ? self->mediaConnection_ : self->connection_;
    };
    s.sendControl = [weak](const ControlMessage& message, Connection& connection) {
        if (auto self = weak.lock()) self->sendControl(message, connection);
    };
    s.l10n = services_.l10n;
    files_ = FileTransfer::create(std::move(s), services_.files);
}

}  // namespace df
