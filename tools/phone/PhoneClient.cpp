#include "tools/phone/PhoneClient.h"

#include "protocol/DeviceAuth.h"
#include "protocol/MediaPayloads.h"
#include "tools/phone/PhoneFiles.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cmath>
#include <cinttypes>
#include <cstdio>
#include <sstream>
#include <unistd.h>

namespace df::phone {

namespace fs = std::filesystem;

namespace {

constexpr size_t kReceiveMax = 1048576;
constexpr int64_t kChunkSize = 65536;

// Text from the agent, quoted, with anything that could act on the terminal escaped.
std::string textValue(const std::string& s) {
    std::string out = "\"";
    for (char c : printable(s)) {
        if (c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : ",") + w;
    return out;
}

std::string fmt(double v, int decimals = 3) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

bool looksLikeAlert(const TransportError& e) {
    std::string d = e.description;
    std::transform(d.begin(), d.end(), d.begin(), [](unsigned char c) { return std::tolower(c); });
    return d.find("alert") != std::string::npos || d.find("decrypt") != std::string::npos ||
           d.find("bad record mac") != std::string::npos || d.find("psk") != std::string::npos;
}

uint32_t randomFileID() {
    uint32_t id = 0;
    while (id == 0) RAND_bytes(reinterpret_cast<unsigned char*>(&id), sizeof id);
    return id;
}

}  // namespace

std::shared_ptr<PhoneClient> PhoneClient::create(PhoneOptions options, PhoneIdentity identity,
                                                 IdentityStore store,
                                                 std::shared_ptr<DispatchQueue> queue,
                                                 std::shared_ptr<TransportFactory> transport,
                                                 Output out, Output err, Finished finished) {
    return std::shared_ptr<PhoneClient>(new PhoneClient(std::move(options), std::move(identity),
                                                        std::move(store), std::move(queue),
                                                        std::move(transport), std::move(out),
                                                        std::move(err), std::move(finished)));
}

PhoneClient::PhoneClient(PhoneOptions options, PhoneIdentity identity, IdentityStore store,
                         std::shared_ptr<DispatchQueue> queue,
                         std::shared_ptr<TransportFactory> transport, Output out, Output err,
                         Finished finished)
    : options_(std::move(options)), identity_(std::move(identity)), store_(std::move(store)),
      queue_(std::move(queue)), transport_(std::move(transport)), out_(std::move(out)),
      err_(std::move(err)), finished_(std::move(finished)) {
    scriptEnded_ = !options_.hasScript;
}

std::string PhoneClient::stamp() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "[%9.3f]", queue_->now() - startedAt_);
    return buf;
}

void PhoneClient::trace(const std::string& direction, const std::string& text) {
    if (options_.trace) out_(stamp() + " " + direction + " " + text);
}

void PhoneClient::start() {
    queue_->post([self = shared_from_this()] {
        self->startedAt_ = self->queue_->now();
        std::weak_ptr<PhoneClient> weak = self;
        try {
            self->control_ = self->transport_->connectTcpTls(self->options_.agent,
                                                             Pairing::parameters(self->options_.code));
        } catch (const TransportException& e) {
            self->finish(ExitStatus::usage, std::string("cannot connect: ") + e.what());
            return;
        }
        self->control_->setStateHandler([weak](ConnectionState s, const std::optional<TransportError>& e) {
            if (auto me = weak.lock()) me->onControlState(s, e);
        });
        self->out_("connecting to " + self->options_.agent.description() + " as " +
                   textValue(self->identity_.deviceName) + " (device " + self->identity_.deviceID + ")");
        self->control_->start(self->queue_);
        self->receiveControl();
    });
}

void PhoneClient::stop() {
    queue_->post([self = shared_from_this()] { self->finish(ExitStatus::ok, "interrupted"); });
}

void PhoneClient::sendInput(ControlMessage message) {
    queue_->post([self = shared_from_this(), message = std::move(message)] {
        if (self->phase_ == Phase::running) self->send(message);
    });
}

void PhoneClient::addScriptStep(ScriptStep step) {
    queue_->post([self = shared_from_this(), step = std::move(step)]() mutable {
        self->script_.push_back(std::move(step));
        if (self->phase_ == Phase::running && !self->scriptRunning_) self->runNextScriptStep();
    });
}

void PhoneClient::endOfScript() {
    queue_->post([self = shared_from_this()] {
        self->scriptEnded_ = true;
        self->maybeFinishAfterScript();
    });
}

// ---------------------------------------------------------------------------------------
// Control connection

void PhoneClient::onControlState(ConnectionState state, const std::optional<TransportError>& error) {
    if (phase_ == Phase::ended) return;
    if (state == ConnectionState::ready) {
        controlEverReady_ = true;
        phase_ = Phase::handshake;
        out_("connected: secure channel up, saying hello");
        send(Hello(identity_.deviceName, DFConstants::protocolVersion, options_.quality,
                   identity_.deviceID,
                   options_.features.empty() ? std::nullopt
                                             : std::optional<std::vector<std::string>>(options_.features)));
        return;
    }
    if (state != ConnectionState::failed && state != ConnectionState::cancelled) return;
    const std::string detail = error ? error->description : std::string("connection ended");
    if (!controlEverReady_) {
        if (error && error->kind == TransportError::Kind::refused)
            finish(ExitStatus::notFound, "no agent is listening at " + options_.agent.description() +
                                             " (connection refused)");
        else if (error && error->isHandshake() && looksLikeAlert(*error))
            finish(ExitStatus::handshakeFailed,
                   "the secure handshake failed: the pairing code is most likely wrong; check the "
                   "code shown on the computer (" + detail + ")");
        else if (error && (error->isHandshake() || error->kind == TransportError::Kind::reset))
            finish(ExitStatus::lockedOut,
                   "the agent closed the connection before the handshake: after repeated failures "
                   "this address is locked out for a while (up to 5 minutes), or a wrong pairing "
                   "code was refused; wait and check the code (" + detail + ")");
        else if (error && error->kind == TransportError::Kind::timedOut)
            finish(ExitStatus::notFound, "the agent at " + options_.agent.description() +
                                             " does not answer (" + detail + ")");
        else
            finish(ExitStatus::notFound, "cannot reach the agent at " + options_.agent.description() +
                                             ": " + detail);
        return;
    }
    finish(ExitStatus::connectionLost, "the agent ended the session (" + detail + ")");
}

void PhoneClient::receiveControl() {
    std::weak_ptr<PhoneClient> weak = shared_from_this();
    control_->receive(1, kReceiveMax, [weak](Bytes data, bool complete, std::optional<TransportError> error) {
        auto self = weak.lock();
        if (!self || self->phase_ == Phase::ended) return;
        if (!data.empty()) {
            self->controlBytesReceived_ = true;
            self->handleFrames(self->controlParser_.append(data), "control");
            if (self->phase_ == Phase::ended) return;
        }
        if (self->controlParser_.corrupted()) {
            self->finish(ExitStatus::connectionLost, "the agent sent a corrupted frame stream");
            return;
        }
        if (complete || error) {
            if (self->controlEverReady_)
                self->finish(ExitStatus::connectionLost,
                             "the agent ended the session" + (error ? " (" + error->description + ")" : std::string()));
            else
                self->onControlState(ConnectionState::failed, error);
            return;
        }
        self->receiveControl();
    });
}

void PhoneClient::handleFrames(std::vector<WireFrame> frames, const char* via) {
    const double now = queue_->now();
    for (auto& frame : frames) {
        if (phase_ == Phase::ended) return;
        switch (frame.kind) {
            case WireKind::control: {
                auto message = ControlMessage::decode(frame.payload);
                if (!message) {
                    err_("undecodable control message on " + std::string(via) + ": " + message.error());
                    break;
                }
                if (options_.trace) {
                    auto json = message->encode();
                    trace("<-", std::string(via) + " " + (json ? *json : std::string(message->caseName())));
                }
                handleControl(*message);
                break;
            }
            case WireKind::videoFrame: {
                const bool ok = media_ ? media_->videoFrame(frame.payload, now) : false;
                if (options_.trace) {
                    const auto p = VideoFramePacket::parse(frame.payload);
                    trace("<-", std::string(via) + " videoFrame" +
                                    (p ? " key=" + std::to_string(p->isKeyframe ? 1 : 0) + " pts=" + fmt(p->pts) +
                                             " bytes=" + std::to_string(p->data.size())
                                       : " malformed") +
                                    (ok ? "" : " (rejected)"));
                }
                break;
            }
            case WireKind::audioFrame: {
                if (media_) media_->audioFrame(frame.payload, now);
                if (options_.trace) {
                    const auto p = AudioFramePacket::parse(frame.payload);
                    trace("<-", std::string(via) + " audioFrame" +
                                    (p ? " pts=" + fmt(p->pts) + " bytes=" + std::to_string(p->data.size())
                                       : " malformed"));
                }
                break;
            }
            case WireKind::fileChunk:
                onFileChunk(frame.payload);
                break;
            case WireKind::mediaHello:
                err_("unexpected mediaHello frame from the agent on " + std::string(via));
                break;
        }
    }
}

void PhoneClient::send(const ControlMessage& message) {
    auto frame = message.encodedFrame();
    if (!frame) {
        err_("cannot encode " + std::string(message.caseName()) + ": " + frame.error());
        return;
    }
    if (options_.trace) {
        auto json = message.encode();
        trace("->", "control " + (json ? *json : std::string(message.caseName())));
    }
    sendRaw(std::move(frame).value());
}

void PhoneClient::sendRaw(Bytes frame, Connection::SendCompletion completion) {
    if (!control_ || phase_ == Phase::ended) return;
    control_->send(std::move(frame), completion ? std::move(completion) : [](std::optional<TransportError>) {});
}

void PhoneClient::handleControl(const ControlMessage& message) {
    const auto& v = message.value();
    if (const auto* m = std::get_if<ServerHello>(&v)) return onServerHello(*m);
    if (std::holds_alternative<PairRequired>(v)) {
        out_("pairRequired: this phone is not trusted by " + textValue(server_ ? server_->macName : "the agent") +
             " yet; enrolling");
        return sendEnroll();
    }
    if (const auto* m = std::get_if<EnrollResult>(&v)) return onEnrollResult(*m);
    if (const auto* m = std::get_if<AuthChallenge>(&v)) return onAuthChallenge(*m);
    if (const auto* m = std::get_if<AuthFailed>(&v)) {
        const bool declined = m->reason.find("declined") != std::string::npos;
        if (phase_ == Phase::awaitingApproval || declined)
            return finish(ExitStatus::declined, "pairing declined on the computer (" + printable(m->reason) + ")");
        return finish(ExitStatus::authFailed, "authentication failed: " + printable(m->reason) +
                                                  " (the computer may have forgotten this phone; "
                                                  "it will be asked to approve it again next time)");
    }
    if (const auto* m = std::get_if<HelloAck>(&v)) return onHelloAck(*m);
    if (phase_ != Phase::running) {
        err_("ignored " + std::string(message.caseName()) + " before helloAck");
        return;
    }
    if (std::holds_alternative<Heartbeat>(v)) return onHeartbeat();
    if (const auto* m = std::get_if<VideoConfig>(&v)) {
        out_("videoConfig size=" + std::to_string(m->width) + "x" + std::to_string(m->height) +
             " vps=" + std::to_string(m->vps.size()) + "B sps=" + std::to_string(m->sps.size()) +
             "B pps=" + std::to_string(m->pps.size()) + "B");
        media_->videoConfig(*m);
        return;
    }
    if (const auto* m = std::get_if<AudioConfig>(&v)) {
        out_("audioConfig codec=" + printable(m->codec) + " rate=" + fmt(m->sampleRate, 0) +
             " channels=" + std::to_string(m->channels) +
             " cookie=" + (m->cookie ? std::to_string(m->cookie->size()) + "B" : std::string("none")));
        media_->audioConfig(*m);
        return;
    }
    if (const auto* m = std::get_if<CursorPos>(&v)) {
        if (m->ts) out_("cursorPos x=" + fmt(m->x, 4) + " y=" + fmt(m->y, 4) + " ts=" + fmt(*m->ts));
        return;  // the untimed echo of every heartbeat is only traced
    }
    if (const auto* m = std::get_if<CaptureAlive>(&v)) {
        (void)m;
        return;  // answers the heartbeat; traced
    }
    if (const auto* m = std::get_if<CaptureError>(&v))
        return out_("captureError reason=" + textValue(m->reason) + (m->kind ? " kind=" + printable(*m->kind) : ""));
    if (const auto* m = std::get_if<FrontApp>(&v))
        return out_("frontApp name=" + textValue(m->name) + " bundleID=" + textValue(m->bundleID));
    if (const auto* m = std::get_if<ClipboardSync>(&v))
        return out_("clipboard bytes=" + std::to_string(m->text.size()) + " text=" + textValue(m->text));
    if (const auto* m = std::get_if<CursorShapeMsg>(&v)) return out_("cursorShape shape=" + printable(m->shape));
    if (const auto* m = std::get_if<FileBegin>(&v)) return onFileBegin(*m);
    if (const auto* m = std::get_if<FileEnd>(&v)) return onFileEnd(*m);
    err_("unexpected " + std::string(message.caseName()) + " from the agent");
}

// ---------------------------------------------------------------------------------------
// Handshake

void PhoneClient::onServerHello(const ServerHello& hello) {
    server_ = hello;
    out_("serverHello macName=" + textValue(hello.macName) + " macDeviceID=" + printable(hello.macDeviceID));
}

void PhoneClient::sendEnroll() {
    phase_ = Phase::awaitingApproval;
    enrollSent_ = true;
    send(Enroll(identity_.deviceID, identity_.deviceName, identity_.publicKey));
    out_("waiting for approval on the computer " + textValue(server_ ? server_->macName : "") +
         ": accept " + textValue(identity_.deviceName) + " there (no time limit)");
}

void PhoneClient::onEnrollResult(const EnrollResult& result) {
    // Only the answer to this phone's own enrolment counts: an approval at any other time
    // would make it store a key it never asked for.
    if (phase_ != Phase::awaitingApproval) {
        err_("ignored enrollResult: this phone is not enrolling");
        return;
    }
    if (!result.approved) {
        out_("enrollResult approved=false");
        return;  // authFailed with the reason follows
    }
    if (!result.macPublicKey || result.macPublicKey->size() != 64 || !server_) {
        finish(ExitStatus::authFailed, "the agent approved the pairing without a usable public key");
        return;
    }
    std::string why;
    if (!store_.storeMacPublicKey(server_->macDeviceID, server_->macName, *result.macPublicKey, &why))
        err_("the computer's key could not be stored, so the next run pairs again: " + why);
    out_("enrollResult approved=true: paired with " + textValue(server_->macName));
    phase_ = Phase::authenticating;
}

void PhoneClient::onAuthChallenge(const AuthChallenge& challenge) {
    const auto macKey = server_ ? store_.macPublicKey(server_->macDeviceID) : std::nullopt;
    if (!macKey) {
        // The agent trusts this phone but the phone lost the computer's key (a new identity
        // directory, say): enrolling again makes a trusted phone re-pair without a prompt.
        if (!enrollSent_) {
            out_("authChallenge, but this phone has no key for the computer; enrolling again");
            sendEnroll();
        } else {
            finish(ExitStatus::authFailed, "the computer asked for authentication before sending its key");
        }
        return;
    }
    const auto key = DeviceAuth::authenticationKey(identity_.privateKey, *macKey);
    if (!key) {
        finish(ExitStatus::authFailed, "the stored key of the computer is not a valid P-256 key");
        return;
    }
    phase_ = Phase::authenticating;
    send(AuthResponse(DeviceAuth::response(*key, challenge.nonce)));
}

void PhoneClient::onHelloAck(const HelloAck& ack) {
    std::string displays;
    for (const auto& d : ack.displays.value_or(std::vector<DisplayInfo>{}))
        displays += (displays.empty() ? "" : ",") + std::to_string(d.id) + ":" + textValue(d.name) + ":" +
                    std::to_string(d.width) + "x" + std::to_string(d.height) + (d.isCurrent ? "*" : "");
    out_("helloAck macName=" + textValue(ack.macName) + " screen=" + std::to_string(ack.screenWidth) + "x" +
         std::to_string(ack.screenHeight) + " displays=[" + displays + "]" +
         " virtualDisplay=" + (ack.virtualDisplayActive.value_or(false) ? "on" : "off") +
         " features=" + (ack.features ? joined(*ack.features) : std::string("-")) +
         " quicPort=" + (ack.quicPort ? std::to_string(*ack.quicPort) : std::string("-")) +
         " mediaToken=" + (ack.mediaToken ? std::to_string(ack.mediaToken->size()) + "B" : std::string("-")) +
         " wolMAC=" + printable(ack.wolMAC.value_or("-")));
    const bool first = phase_ != Phase::running;
    helloAck_ = ack;
    if (first) startRunning(ack);
}

// ---------------------------------------------------------------------------------------
// Session

void PhoneClient::startRunning(const HelloAck& ack) {
    phase_ = Phase::running;
    out_("authenticated: session running");
    std::weak_ptr<PhoneClient> weak = shared_from_this();
    MediaOptions mediaOptions = options_.mediaOptions;
    if (!mediaOptions.clock) {
        std::weak_ptr<DispatchQueue> queue = queue_;
        mediaOptions.clock = [queue] {
            auto q = queue.lock();
            return q ? q->now() : 0.0;
        };
    }
    media_ = std::make_unique<MediaReceiver>(std::move(mediaOptions), queue_->now(),
                                             [weak](const std::string& line) {
                                                 if (auto me = weak.lock()) me->err_(line);
                                             });
    heartbeatTimer_ = queue_->repeating(options_.heartbeatInterval, [weak] {
        if (auto me = weak.lock()) me->sendHeartbeat();
    });
    if (options_.stats)
        statsTimer_ = queue_->repeating(1.0, [weak] {
            if (auto me = weak.lock()) me->tickStats();
        });
    if (options_.clientStatsInterval > 0)
        clientStatsTimer_ = queue_->repeating(options_.clientStatsInterval, [weak] {
            if (auto me = weak.lock()) me->sendClientStats();
        });
    if (options_.duration > 0)
        durationTimer_ = queue_->postAfter(options_.duration, [weak] {
            if (auto me = weak.lock()) me->finish(ExitStatus::ok, "duration reached");
        });

    if (ack.mediaToken && !ack.mediaToken->empty()) {
        const bool quicOffered = ack.quicPort.has_value();
        if (options_.media == MediaMode::quic && !quicOffered)
            err_("the agent offers no QUIC port; media come over the control connection");
        if ((options_.media == MediaMode::automatic || options_.media == MediaMode::quic) && quicOffered)
            openMedia(true);
        else if (options_.media == MediaMode::automatic || options_.media == MediaMode::tcp)
            openMedia(false);
    } else if (options_.media != MediaMode::none) {
        err_("the agent sent no media token; media come over the control connection");
    }

    for (const auto& m : options_.messages) send(m);
    for (const auto& f : options_.sendFiles) queueFile(f);
    if (!script_.empty()) runNextScriptStep();
    maybeFinishAfterScript();
}

void PhoneClient::sendHeartbeat() {
    if (phase_ != Phase::running) return;
    heartbeatsSent_.push_back(queue_->now());
    send(Heartbeat{});
}

void PhoneClient::onHeartbeat() {
    if (heartbeatsSent_.empty()) return;  // not an answer to one of ours
    const double rtt = (queue_->now() - heartbeatsSent_.front()) * 1000.0;
    heartbeatsSent_.pop_front();
    media_->stats().heartbeatRoundTrip(rtt);
}

void PhoneClient::openMedia(bool quic) {
    std::shared_ptr<Connection> connection;
    try {
        if (quic) {
            quicTried_ = true;
            connection = transport_->connectQuic(Endpoint{options_.agent.host, *helloAck_->quicPort},
                                                 Pairing::quicParameters(options_.code));
        } else {
            connection = transport_->connectTcpTls(options_.agent, Pairing::parameters(options_.code));
        }
    } catch (const TransportException& e) {
        err_(std::string("cannot open the media channel: ") + e.what());
        if (quic && options_.media == MediaMode::automatic) openMedia(false);
        return;
    }
    auto& slot = quic ? quicMedia_ : tcpMedia_;
    slot.emplace();
    slot->connection = connection;
    slot->quic = quic;
    std::weak_ptr<PhoneClient> weak = shared_from_this();
    std::weak_ptr<Connection> weakConnection = connection;
    connection->setStateHandler([weak, weakConnection](ConnectionState s, const std::optional<TransportError>& e) {
        auto me = weak.lock();
        auto c = weakConnection.lock();
        if (me && c) me->onMediaState(c, s, e);
    });
    out_(std::string("opening the media channel over ") + (quic ? "QUIC to port " + std::to_string(*helloAck_->quicPort)
                                                                : "TCP"));
    connection->start(queue_);
}

void PhoneClient::onMediaState(const std::shared_ptr<Connection>& connection, ConnectionState state,
                               const std::optional<TransportError>& error) {
    if (phase_ == Phase::ended) return;
    auto& slot = connection->protocol() == TransportProtocol::quic ? quicMedia_ : tcpMedia_;
    if (!slot || slot->connection != connection) return;
    if (state == ConnectionState::ready) {
        slot->ready = true;
        // The media hello proves the connection belongs to this session.
        connection->send(WireFrame::encode(WireKind::mediaHello, *helloAck_->mediaToken),
                         [](std::optional<TransportError>) {});
        trace("->", std::string(slot->quic ? "quic" : "tcp-media") + " mediaHello");
        out_(std::string("media channel open over ") + (slot->quic ? "QUIC" : "TCP"));
        receiveMedia(connection);
        return;
    }
    if (state == ConnectionState::failed || state == ConnectionState::cancelled)
        dropMedia(connection, error ? error->description : "closed");
}

void PhoneClient::receiveMedia(const std::shared_ptr<Connection>& connection) {
    std::weak_ptr<PhoneClient> weak = shared_from_this();
    std::weak_ptr<Connection> weakConnection = connection;
    connection->receive(1, kReceiveMax, [weak, weakConnection](Bytes data, bool complete,
                                                               std::optional<TransportError> error) {
        auto me = weak.lock();
        auto c = weakConnection.lock();
        if (!me || !c || me->phase_ == Phase::ended) return;
        auto& slot = c->protocol() == TransportProtocol::quic ? me->quicMedia_ : me->tcpMedia_;
        if (!slot || slot->connection != c) return;
        if (!data.empty()) {
            me->handleFrames(slot->parser.append(data), slot->quic ? "quic" : "tcp-media");
            if (me->phase_ == Phase::ended) return;
        }
        if (slot->parser.corrupted()) return me->dropMedia(c, "corrupted frame stream");
        if (complete || error) return me->dropMedia(c, error ? error->description : "ended by the agent");
        me->receiveMedia(c);
    });
}

void PhoneClient::dropMedia(const std::shared_ptr<Connection>& connection, const std::string& why) {
    const bool quic = connection->protocol() == TransportProtocol::quic;
    auto& slot = quic ? quicMedia_ : tcpMedia_;
    if (!slot || slot->connection != connection) return;
    const bool wasReady = slot->ready;
    slot.reset();
    connection->cancel();
    err_(std::string(quic ? "QUIC" : "TCP") + " media channel " + (wasReady ? "closed" : "failed") + ": " + why);
    // The agent then sends media on the next connection it has; without QUIC, the phone
    // offers a TCP media connection instead, as it would on a network that blocks UDP.
    if (quic && options_.media == MediaMode::automatic && !tcpMedia_ && phase_ == Phase::running)
        openMedia(false);
}

void PhoneClient::runNextScriptStep() {
    if (script_.empty() || phase_ != Phase::running) {
        scriptRunning_ = false;
        maybeFinishAfterScript();
        return;
    }
    scriptRunning_ = true;
    const double delay = script_.front().delay;
    std::weak_ptr<PhoneClient> weak = shared_from_this();
    scriptTimer_ = queue_->postAfter(delay, [weak] {
        auto me = weak.lock();
        if (!me || me->phase_ != Phase::running || me->script_.empty()) return;
        ScriptStep step = std::move(me->script_.front());
        me->script_.pop_front();
        if (step.message) me->send(*step.message);
        if (step.sendFile) me->queueFile(*step.sendFile);
        me->runNextScriptStep();
    });
}

void PhoneClient::maybeFinishAfterScript() {
    if (phase_ != Phase::running || !options_.hasScript || !scriptEnded_ || scriptRunning_ ||
        !script_.empty() || sending_ || !outgoing_.empty() || options_.duration > 0)
        return;
    // A short grace so that the agent's answers to the last steps are shown.
    std::weak_ptr<PhoneClient> weak = shared_from_this();
    scriptTimer_ = queue_->postAfter(1.0, [weak] {
        if (auto me = weak.lock()) me->finish(ExitStatus::ok, "script done");
    });
}

// ---------------------------------------------------------------------------------------
// Files

void PhoneClient::onFileBegin(const FileBegin& begin) {
    if (incoming_) {
        err_("file " + textValue(incoming_->begin.name) + " abandoned by the agent after " +
             std::to_string(incoming_->received) + " of " + std::to_string(incoming_->begin.size) + " bytes");
        closeIncoming(*incoming_, false);
        incoming_.reset();
    }
    IncomingFile file;
    file.begin = begin;
    if (!options_.downloadDir.empty()) {
        // Only the last path component names the file; a dot-name (hidden, "." or "..") is
        // refused rather than turned into something else.
        const std::string last = fs::path(begin.name).filename().string();
        if (!acceptableDownloadName(last)) {
            err_("refused the name " + textValue(begin.name) + "; the file is checked but not kept");
        } else if (auto created = createDownload(options_.downloadDir, last)) {
            file.fd = created->fd;
            file.path = created->path;
        } else {
            err_("cannot write " + textValue(begin.name) + " in " + options_.downloadDir.string() + " (" +
                 created.error() + "); the file is checked but not kept");
        }
    }
    out_("fileBegin fileID=" + std::to_string(begin.fileID) + " name=" + textValue(begin.name) +
         " size=" + std::to_string(begin.size));
    incoming_ = std::move(file);
}

void PhoneClient::closeIncoming(IncomingFile& file, bool keep) {
    if (file.fd >= 0) {
        if (::close(file.fd) != 0) file.writeFailed = true;
        file.fd = -1;
    }
    std::error_code ec;
    if (!keep && !file.path.empty()) fs::remove(file.path, ec);
}

void PhoneClient::onFileChunk(const Bytes& payload) {
    const auto chunk = FileChunk::decode(payload);
    if (!chunk) return err_("malformed fileChunk (shorter than its 4-byte header)");
    if (!incoming_ || incoming_->begin.fileID != chunk->fileID)
        return err_("fileChunk for unknown fileID " + std::to_string(chunk->fileID));
    IncomingFile& file = *incoming_;
    const auto length = static_cast<int64_t>(chunk->chunk.size());
    file.received += length;
    if (file.overflowed) return;
    if (file.received > std::max<int64_t>(file.begin.size, 0)) {
        file.overflowed = true;
        err_("file " + textValue(file.begin.name) + " refused: more bytes than the " +
             std::to_string(file.begin.size) + " announced");
        closeIncoming(file, false);
        file.path.clear();
        return;
    }
    if (file.fd < 0) return;
    std::span<const uint8_t> rest(chunk->chunk);
    while (!rest.empty()) {
        const ssize_t n = ::write(file.fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            file.writeFailed = true;
            closeIncoming(file, false);
            file.path.clear();
            return;
        }
        rest = rest.subspan(static_cast<size_t>(n));
    }
}

void PhoneClient::onFileEnd(const FileEnd& end) {
    if (!incoming_ || incoming_->begin.fileID != end.fileID)
        return err_("fileEnd for unknown fileID " + std::to_string(end.fileID));
    IncomingFile file = std::move(*incoming_);
    incoming_.reset();
    const bool sizeOk = file.received == file.begin.size && !file.overflowed;
    closeIncoming(file, sizeOk && !file.writeFailed);
    if (!sizeOk || file.writeFailed) {
        err_("file " + textValue(file.begin.name) + " failed: received " + std::to_string(file.received) +
             " of " + std::to_string(file.begin.size) + " announced bytes" +
             (file.writeFailed ? " (writing it failed)" : ""));
        out_("fileReceived name=" + textValue(file.begin.name) + " ok=false bytes=" + std::to_string(file.received) +
             " announced=" + std::to_string(file.begin.size));
        return;
    }
    out_("fileReceived name=" + textValue(file.begin.name) + " ok=true bytes=" + std::to_string(file.received) +
         (file.path.empty() ? "" : " path=" + textValue(file.path.string())));
}

void PhoneClient::sendFileFrame(Bytes frame, Connection::SendCompletion completion) {
    if (!fileConnection_ || fileConnection_ == control_) return sendRaw(std::move(frame), std::move(completion));
    if (phase_ == Phase::ended) return;
    fileConnection_->send(std::move(frame), completion ? std::move(completion) : [](std::optional<TransportError>) {});
}

void PhoneClient::queueFile(const fs::path& path) {
    outgoing_.push_back(path);
    if (!sending_) startNextOutgoingFile();
}

void PhoneClient::startNextOutgoingFile() {
    while (!outgoing_.empty() && phase_ == Phase::running) {
        const fs::path path = outgoing_.front();
        outgoing_.pop_front();
        auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
        std::error_code ec;
        const auto size = fs::file_size(path, ec);
        if (!*in || ec) {
            err_("cannot read " + path.string() + "; not sent");
            continue;
        }
        sending_ = true;
        const uint32_t id = randomFileID();
        const std::string name = path.filename().string();
        // The whole transfer goes on one connection so that its frames stay in order.
        fileConnection_ = control_;
        if (options_.filesOverMedia) {
            if (quicMedia_ && quicMedia_->ready) fileConnection_ = quicMedia_->connection;
            else if (tcpMedia_ && tcpMedia_->ready) fileConnection_ = tcpMedia_->connection;
        }
        sendFileFrame(*ControlMessage(FileBegin(id, name, static_cast<int64_t>(size))).encodedFrame());
        out_("sending file " + textValue(name) + " fileID=" + std::to_string(id) + " size=" + std::to_string(size));
        sendNextChunk(id, std::move(in), 0, static_cast<int64_t>(size), name);
        return;
    }
    sending_ = false;
    maybeFinishAfterScript();
}

void PhoneClient::sendNextChunk(uint32_t fileID, std::shared_ptr<std::ifstream> in, int64_t sent,
                                int64_t total, std::string name) {
    if (phase_ != Phase::running) return;
    Bytes data(static_cast<size_t>(kChunkSize));
    in->read(reinterpret_cast<char*>(data.data()), kChunkSize);
    data.resize(static_cast<size_t>(in->gcount()));
    if (data.empty()) {
        sendFileFrame(*ControlMessage(FileEnd(fileID)).encodedFrame());
        if (sent != total)
            err_("file " + textValue(name) + " changed while being sent: " + std::to_string(sent) +
                 " bytes sent, " + std::to_string(total) + " announced");
        out_("fileSent name=" + textValue(name) + " bytes=" + std::to_string(sent));
        startNextOutgoingFile();
        return;
    }
    const int64_t nowSent = sent + static_cast<int64_t>(data.size());
    trace("->", "control fileChunk fileID=" + std::to_string(fileID) + " bytes=" + std::to_string(data.size()));
    std::weak_ptr<PhoneClient> weak = shared_from_this();
    // One chunk in flight: the next is read once the transport has taken this one.
    sendFileFrame(FileChunk::wireEncode(fileID, data),
            [weak, fileID, in, nowSent, total, name](std::optional<TransportError> error) {
                auto me = weak.lock();
                if (!me || me->phase_ != Phase::running) return;
                if (error) {
                    me->err_("sending " + textValue(name) + " failed: " + error->description);
                    me->startNextOutgoingFile();
                    return;
                }
                me->sendNextChunk(fileID, in, nowSent, total, name);
            });
}

// ---------------------------------------------------------------------------------------

void PhoneClient::sendClientStats() {
    if (phase_ != Phase::running || !media_) return;
    // Pictures decoded in the period (frames received when not decoding); a decoding error
    // is what makes a phone flush its decoder.
    const HevcDecoder* decoder = media_->decoder();
    const int64_t pictures = decoder ? decoder->picturesDecoded() : media_->stats().frames();
    const int64_t errors = decoder ? decoder->errors() : 0;
    const double fps = static_cast<double>(pictures - statsPicturesBefore_) / options_.clientStatsInterval;
    const auto rtt = media_->stats().lastRoundTrip();
    send(ClientStats(static_cast<int64_t>(std::lround(fps)), errors - statsErrorsBefore_,
                     static_cast<int64_t>(std::lround(rtt.value_or(0)))));
    statsPicturesBefore_ = pictures;
    statsErrorsBefore_ = errors;
}

void PhoneClient::tickStats() {
    if (!media_) return;
    for (const auto& line : media_->stats().tick(queue_->now())) out_(line);
}

void PhoneClient::finish(ExitStatus status, const std::string& message) {
    if (phase_ == Phase::ended) return;
    const bool wasRunning = phase_ == Phase::running;
    phase_ = Phase::ended;
    for (auto* timer : {&heartbeatTimer_, &statsTimer_, &durationTimer_, &scriptTimer_, &clientStatsTimer_})
        if (*timer) (*timer)->cancel();
    if (quicMedia_) quicMedia_->connection->cancel();
    if (tcpMedia_) tcpMedia_->connection->cancel();
    quicMedia_.reset();
    tcpMedia_.reset();
    if (control_) control_->cancel();
    if (incoming_) {
        err_("file " + textValue(incoming_->begin.name) + " incomplete at the end: " +
             std::to_string(incoming_->received) + " of " + std::to_string(incoming_->begin.size) + " bytes");
        closeIncoming(*incoming_, false);
        incoming_.reset();
    }
    if (media_) {
        if (auto problem = media_->finish()) err_(*problem);
        if (options_.stats) {
            for (const auto& line : media_->stats().tick(queue_->now())) out_(line);
            out_(media_->stats().totals(queue_->now()));
        }
    }
    (void)wasRunning;
    (status == ExitStatus::ok ? out_ : err_)((status == ExitStatus::ok ? "end: " : "error: ") + message);
    if (finished_) {
        auto done = std::move(finished_);
        done(status, message);
    }
}

}  // namespace df::phone
