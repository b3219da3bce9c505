#include "DuskFerryAgent/session/AgentSession.h"

#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/capture/VirtualDisplayControl.h"
#include "DuskFerryAgent/shell/AgentSettings.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/shell/Utf8.h"
#include "DuskFerryAgent/trust/Approval.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "protocol/DeviceAuth.h"

#include <openssl/rand.h>

#include <algorithm>
#include <mutex>
#include <utility>

namespace df {
namespace {

// AgentSession.current: written on the session queue, read by the shell on the main thread.
std::mutex gCurrentMutex;
std::weak_ptr<AgentSession> gCurrent;

const std::vector<std::string>& agentFeatures() {
    static const std::vector<std::string> features{"cstats", "quic"};
    return features;
}

}  // namespace

std::shared_ptr<AgentSession> AgentSession::create(std::shared_ptr<Connection> connection,
                                                   std::shared_ptr<DispatchQueue> queue, StatusCallback onStatus,
                                                   AuthResultCallback onAuthResult,
                                                   QuicPortProvider quicPortProvider, SessionServices services) {
    std::shared_ptr<AgentSession> session(new AgentSession(std::move(connection), std::move(queue),
                                                           std::move(onStatus), std::move(onAuthResult),
                                                           std::move(quicPortProvider), std::move(services)));
    session->makeFileTransfer();
    return session;
}

AgentSession::AgentSession(std::shared_ptr<Connection> connection, std::shared_ptr<DispatchQueue> queue,
                           StatusCallback onStatus, AuthResultCallback onAuthResult,
                           QuicPortProvider quicPortProvider, SessionServices services)
    : connection_(std::move(connection)),
      quicPortProvider_(std::move(quicPortProvider)),
      queue_(std::move(queue)),
      onStatus_(std::move(onStatus)),
      onAuthResult_(std::move(onAuthResult)),
      services_(std::move(services)) {
    video_.windowStart = queue_->now();
    // A peer that has not authenticated sends only small handshake messages; larger frames
    // are not buffered for it (begin() lifts the limit).
    parser_.setPayloadLimit(preAuthFrameLimit);
    if (!services_.l10n) services_.l10n = std::make_shared<const L10n>(std::vector<std::string>{});
}

AgentSession::~AgentSession() {
    // A session let go without close() must not leave its capture stream running.
    if (capture_) capture_->stop();
}

std::shared_ptr<AgentSession> AgentSession::current() {
    std::lock_guard lock(gCurrentMutex);
    return gCurrent.lock();
}

void AgentSession::report(const std::string& text) {
    if (onStatus_) onStatus_(text);
}

void AgentSession::onMain(std::function<void()> task) {
    if (services_.mainQueue) {
        services_.mainQueue->post(std::move(task));
    } else {
        queue_->post(std::move(task));
    }
}

SessionInput* AgentSession::injector() {
    if (closed_) return nullptr;  // a closed session's phone presses nothing any more
    if (!injector_ && services_.makeInput) injector_ = services_.makeInput(queue_);
    return injector_.get();
}

// ---------------------------------------------------------------------------------------
// Start and receive loop (session queue).

void AgentSession::start(Bytes initialData) {
    std::weak_ptr<AgentSession> weak = weak_from_this();
    connection_->setStateHandler([weak](ConnectionState state, const std::optional<TransportError>&) {
        auto self = weak.lock();
        if (!self) return;
        if (state == ConnectionState::ready) {
            self->report(self->services_.l10n->t("已连接，等待握手…"));
        } else if (state == ConnectionState::failed || state == ConnectionState::cancelled) {
            self->close();
        }
    });
    // The server only hands over a connection that already delivered a frame, so it is
    // ready and will not report `ready` again: say so now, or the user would see "Waiting
    // for connection…" until the phone is through authentication.
    report(services_.l10n->t("已连接，等待握手…"));

    if (!initialData.empty()) {
        for (const auto& frame : parser_.append(initialData)) handle(frame);
        if (parser_.corrupted()) {
            close();
            return;
        }
    }
    receiveLoop();
}

void AgentSession::receiveLoop() {
    if (closeRequested_) return;
    std::weak_ptr<AgentSession> weak = weak_from_this();
    if (files_->receivingBacklogged()) {
        // Received file chunks wait for the disk: read on once they are written.
        files_->whenDrained([weak] {
            if (auto self = weak.lock(); self && !self->closed_) self->receiveLoop();
        });
        return;
    }
    connection_->receive(1, receiveMaximum,
                         [weak](Bytes data, bool isComplete, std::optional<TransportError> error) {
                             auto self = weak.lock();
                             if (!self || self->closed_) return;
                             if (!data.empty()) {
                                 for (const auto& frame : self->parser_.append(data)) self->handle(frame);
                             }
                             if (isComplete || error || self->parser_.corrupted()) {
                                 self->close();
                                 return;
                             }
                             self->receiveLoop();
                         });
}

void AgentSession::handle(const WireFrame& frame) {
    // Once the session is ending (a failed response, a declined pairing) the frames the peer
    // pipelined behind are not acted on: no second hello, no second guess.
    if (closed_ || closeRequested_) return;
    switch (frame.kind) {
    case WireKind::control: {
        auto message = ControlMessage::decode(std::span<const uint8_t>(frame.payload));
        if (!message) return;  // undecodable: dropped, the connection stays
        handleControl(*message);
        break;
    }
    case WireKind::fileChunk:
        if (authState_ == AuthState::authed) files_->fileChunk(frame.payload);
        break;
    case WireKind::videoFrame:
    case WireKind::audioFrame:
    case WireKind::mediaHello:
        break;  // video, audio and media hello frames from the phone mean nothing here
    }
}

void AgentSession::handleControl(const ControlMessage& message) {
    if (auto* hello = message.get<Hello>()) {
        handleHello(*hello);
    } else if (auto* enroll = message.get<Enroll>()) {
        handleEnroll(*enroll);
    } else if (auto* response = message.get<AuthResponse>()) {
        handleAuthResponse(*response);
    } else {
        dispatch(message);
    }
}

// ---------------------------------------------------------------------------------------
// Handshake (session queue).

std::string AgentSession::shown(std::string_view text) { return Utf8::displaySafe(text, maxDeviceNameLength); }

bool AgentSession::acceptableIdentity(std::string_view deviceID, std::string_view deviceName) {
    if (Utf8::length(deviceID) <= maxDeviceIDLength && Utf8::length(deviceName) <= maxDeviceNameLength) return true;
    // Refused before anything is stored or shown; the phone learns why.
    authState_ = AuthState::start;
    pendingNonce_.reset();
    report(services_.l10n->t("设备名称或标识过长"));
    sendControlThenClose(AuthFailed(services_.l10n->t("设备名称或标识过长")));
    return false;
}

void AgentSession::handleHello(const Hello& hello) {
    if (!acceptableIdentity(hello.deviceID, hello.deviceName)) return;
    clientDeviceID_ = hello.deviceID;
    clientDeviceName_ = hello.deviceName;
    clientQuality_ = hello.quality;
    clientFeatures_ = hello.features;
    if (clientFeatures_ && std::ranges::find(*clientFeatures_, "quic") != clientFeatures_->end() &&
        quicPortProvider_) {
        (void)quicPortProvider_();  // starts the QUIC listener early
    }
    sendControl(ServerHello(services_.macDeviceID, services_.agentName));
    if (services_.trust && services_.trust->isTrusted(hello.deviceID)) {
        challenge();
    } else {
        authState_ = AuthState::awaitingEnroll;
        sendControl(PairRequired{});
        report(services_.l10n->tf("配对请求：%@", shown(hello.deviceName)));
    }
}

void AgentSession::challenge() {
    Bytes nonce = DeviceAuth::makeNonce();
    pendingNonce_ = nonce;
    authState_ = AuthState::awaitingResponse;
    sendControl(AuthChallenge(std::move(nonce)));
}

void AgentSession::acceptEnrollment(const Enroll& enroll) {
    // Only reached with a trust store: without one no phone is trusted and nobody approves.
    if (!services_.trust->trust(enroll.deviceID, enroll.deviceName, enroll.publicKey)) {
        // An ID the store cannot keep or a key that is not a point on the curve.
        sendControl(EnrollResult(false));
        sendControlThenClose(AuthFailed(services_.l10n->t("配对被拒绝")));
        return;
    }
    sendControl(EnrollResult(true, services_.trust->macPublicKey()));
    challenge();
}

void AgentSession::handleEnroll(const Enroll& enroll) {
    if (!acceptableIdentity(enroll.deviceID, enroll.deviceName)) return;
    if (approvalTicket_ != 0) return;  // one prompt per session: this one is being asked
    if (services_.trust && services_.trust->isTrusted(enroll.deviceID)) {
        if (services_.trust->storedPublicKey(enroll.deviceID) == enroll.publicKey) {
            // A trusted phone enrolling again with the key it has: no prompt.
            acceptEnrollment(enroll);
            report(services_.l10n->tf("重新配对：%@", shown(enroll.deviceName)));
            return;
        }
        // The same ID with another key: whoever sends it knows the code and the ID, which is
        // not proof of being that phone. Ask, saying the key changed; until then the stored
        // key stays and no challenge is outstanding.
        authState_ = AuthState::awaitingEnroll;
        pendingNonce_.reset();
        askApproval(enroll, true);
        return;
    }
    if (authState_ != AuthState::awaitingEnroll) return;
    askApproval(enroll, false);
}

void AgentSession::askApproval(const Enroll& enroll, bool keyChanged) {
    report(services_.l10n->tf("等待你在 Mac 上批准：%@", shown(enroll.deviceName)));
    std::weak_ptr<AgentSession> weak = weak_from_this();
    auto queue = queue_;
    auto answer = [weak, queue, enroll](bool approved) {
        queue->post([weak, enroll, approved] {
            if (auto self = weak.lock()) self->approvalAnswered(enroll, approved);
        });
    };
    // A key that is not a point on the curve could never authenticate: declined unasked.
    if (services_.approval && services_.trust && TrustStore::isValidPublicKey(enroll.publicKey)) {
        approvalTicket_ = services_.approval->request(
            enroll.deviceName, enroll.deviceID, std::move(answer),
            keyChanged ? Approval::Reason::keyChanged : Approval::Reason::firstPairing);
    } else {
        answer(false);  // nobody can approve: decline
    }
}

void AgentSession::approvalAnswered(const Enroll& enroll, bool approved) {
    approvalTicket_ = 0;
    if (closed_ || closeRequested_ || authState_ != AuthState::awaitingEnroll) return;
    if (!approved) {
        authState_ = AuthState::start;
        pendingNonce_.reset();
        sendControl(EnrollResult(false));
        sendControlThenClose(AuthFailed(services_.l10n->t("配对被拒绝")));
        return;
    }
    acceptEnrollment(enroll);
}

void AgentSession::handleAuthResponse(const AuthResponse& response) {
    if (authState_ != AuthState::awaitingResponse || !pendingNonce_) return;
    if (!services_.trust || !services_.trust->verify(clientDeviceID_, *pendingNonce_, response.hmac)) {
        if (onAuthResult_) onAuthResult_(false);
        authState_ = AuthState::start;
        pendingNonce_.reset();
        sendControlThenClose(AuthFailed(services_.l10n->t("设备认证失败")));
        return;
    }
    authState_ = AuthState::authed;
    if (onAuthResult_) onAuthResult_(true);
    begin();
}

void AgentSession::begin() {
    parser_.setPayloadLimit(static_cast<uint32_t>(DFConstants::maxFramePayload));
    if (services_.declareUserActivity) services_.declareUserActivity(services_.l10n->t("Brevox 连接"));
    mediaToken_.assign(16, 0);
    if (RAND_bytes(mediaToken_.data(), static_cast<int>(mediaToken_.size())) != 1) {
        // Without a secure token no media channel could be trusted; the phone falls back
        // to receiving media on the control connection.
        mediaToken_.clear();
    }
    {
        std::lock_guard lock(gCurrentMutex);
        gCurrent = weak_from_this();
    }
    if (auto vd = services_.virtualDisplay) onMain([vd] { vd->setSessionActive(true); });
    sendScreenInfo();
    report(services_.l10n->tf("已连接：%@", shown(clientDeviceName_)));
    if (auto* input = injector()) {
        if (auto pos = input->currentNormalizedPosition()) sendControl(CursorPos(pos->first, pos->second));
    }
    // The watchers, with the heartbeat watchdog between the display and clipboard watchers. A
    // repeated begin() (a hello again after authentication) replaces the earlier ones.
    startWatchers();
    startCapture(clientQuality_, false);
}

namespace {

/// The screen the phone is told about: the virtual display, else the selected one, else the
/// main one; the main one when the chosen one is not wider than 1 point; 1920 × 1080 last.
std::pair<int64_t, int64_t> reportedScreen(const DisplayTarget::Snapshot& target) {
    auto mainID = target.systemMainID();
    std::optional<DisplayTarget::DisplayID> chosen = target.virtualDisplayID();
    if (!chosen) chosen = target.selectedDisplayID();
    if (!chosen) chosen = mainID;
    DisplayBounds rect = chosen ? target.bounds(*chosen) : DisplayBounds{};
    if (!(rect.width > 1)) {
        rect = mainID ? target.bounds(*mainID) : DisplayBounds{};
        if (!(rect.width > 1)) rect = {0, 0, 1920, 1080};
    }
    return {static_cast<int64_t>(rect.width), static_cast<int64_t>(rect.height)};
}

DisplayTarget::Snapshot displaySnapshot(const std::shared_ptr<DisplayTarget>& displays) {
    // Without a display target there are no displays.
    const DisplayTarget none(nullptr);
    return (displays ? *displays : none).snapshot();
}

}  // namespace

void AgentSession::runScreenResync() {
    if (closed_ || authState_ != AuthState::authed) return;
    const bool forced = std::exchange(resyncForce_, false);
    const bool changed = reportedScreen(displaySnapshot(services_.displays)) != lastReportedScreen_;
    sendScreenInfo();
    if (!changed && !forced) return;
    report(services_.l10n->t("显示器配置变化，重启采集…"));
    startCapture(clientQuality_, false);
}

void AgentSession::sendScreenInfo() {
    // One read of the displays answers every question below.
    const DisplayTarget::Snapshot target = displaySnapshot(services_.displays);
    lastReportedScreen_ = reportedScreen(target);

    std::optional<std::vector<std::string>> features;
    std::optional<uint16_t> quicPort;
    if (clientFeatures_) {
        features.emplace();
        for (const auto& f : *clientFeatures_) {
            if (std::ranges::find(agentFeatures(), f) != agentFeatures().end()) features->push_back(f);
        }
        if (std::ranges::find(*features, "quic") != features->end()) {
            quicPort = quicPortProvider_ ? quicPortProvider_() : std::nullopt;
            if (!quicPort) std::erase(*features, std::string("quic"));
        }
    }
    HelloAck ack(services_.agentName, lastReportedScreen_.first, lastReportedScreen_.second,
                 target.virtualDisplayID().has_value(), target.activeDisplays(*services_.l10n),
                 mediaToken_.empty() ? std::nullopt : std::optional<Bytes>(mediaToken_),
                 services_.addresses ? NetInfo::primaryMACAddress(*services_.addresses) : std::nullopt,
                 std::move(features), quicPort);
    sendControl(ack);
}

// ---------------------------------------------------------------------------------------
// Sending (session queue).

void AgentSession::sendControl(const ControlMessage& message) {
    if (closed_) return;
    sendControl(message, *connection_);
}

void AgentSession::sendControl(const ControlMessage& message, Connection& connection) {
    if (closed_) return;
    auto frame = message.encodedFrame();
    if (!frame) return;  // a non-finite number cannot be encoded: skip this message
    connection.send(std::move(frame.value()), [](std::optional<TransportError>) {});
}

void AgentSession::sendControlThenClose(const ControlMessage& message) {
    if (closed_) return;
    closeRequested_ = true;  // nothing the peer sends from here on is acted on
    auto frame = message.encodedFrame();
    std::weak_ptr<AgentSession> weak = weak_from_this();
    if (frame) {
        connection_->send(std::move(frame.value()), [weak](std::optional<TransportError>) {
            if (auto self = weak.lock()) self->close();
        });
    }
    queue_->postAfter(closeAfterSendLimit, [weak] {
        if (auto self = weak.lock()) self->close();
    });
}

// ---------------------------------------------------------------------------------------
// Teardown.

void AgentSession::close() {
    closeRequested_ = true;
    // Holding the session strongly until the teardown ran: close() is how its owners let
    // it go, and the teardown must still happen.
    auto self = shared_from_this();
    queue_->post([self] { self->closeNow(); });
}

void AgentSession::closeAtOnce() {
    closeRequested_ = true;
    closeNow();
}

void AgentSession::closeNow() {
    if (closed_) return;
    closed_ = true;
    // A prompt still waiting for this session is withdrawn: nobody would act on its answer.
    if (approvalTicket_ != 0 && services_.approval) services_.approval->withdraw(std::exchange(approvalTicket_, 0));

    // Lock on disconnect: only for a phone that got in, and only if no other phone has
    // authenticated within the delay.
    bool lock = authState_ == AuthState::authed && services_.settings &&
                AgentSettings(*services_.settings).lockOnDisconnect();
    if (lock && services_.postLockChord) {
        auto post = services_.postLockChord;
        auto main = services_.mainQueue ? services_.mainQueue : queue_;
        main->postAfter(lockDelay, [post] {
            if (!AgentSession::current()) post();
        });
    }
    // Capture stops and the display may sleep again; the watchers end.
    stopCapture();
    stopWatchers();
    if (screenChangeDebounce_) {
        screenChangeDebounce_->cancel();
        screenChangeDebounce_.reset();
    }
    if (heartbeatWatchdog_) {
        heartbeatWatchdog_->cancel();
        heartbeatWatchdog_.reset();
    }
    // A phone that left mid-drag or with a key down must not leave it held on this computer.
    if (injector_) {
        injector_->close();
        injector_.reset();
    }
    files_->sessionClosed();
    bool wasCurrent = false;
    {
        std::lock_guard lock(gCurrentMutex);
        if (gCurrent.lock().get() == this) {
            gCurrent.reset();
            wasCurrent = true;
        }
    }
    if (auto vd = services_.virtualDisplay; vd && wasCurrent) onMain([vd] { vd->setSessionActive(false); });
    if (quicMediaConnection_) {
        quicMediaConnection_->cancel();
        quicMediaConnection_.reset();
    }
    if (mediaConnection_) {
        mediaConnection_->cancel();
        mediaConnection_.reset();
    }
    connection_->cancel();
    report(services_.l10n->t("等待连接…"));
}

}  // namespace df
