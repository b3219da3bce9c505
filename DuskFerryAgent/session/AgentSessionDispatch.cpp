// Control message dispatch: what the session does with each message once the handshake
// messages are dealt with. Session queue only. A message whose precondition fails is
// dropped silently; messages only the agent sends are ignored.

#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/capture/VirtualDisplayControl.h"
#include "DuskFerryAgent/session/AgentSession.h"
#include "DuskFerryAgent/shell/L10n.h"

#include <algorithm>

namespace df {

void AgentSession::dispatch(const ControlMessage& message) {
    const bool authed = authState_ == AuthState::authed;
    using Case = ControlMessage::Case;
    switch (message.messageCase()) {
    case Case::pointer:
        if (authed) handlePointer(*message.get<PointerEvent>());
        break;
    case Case::scroll:
        if (authed) {
            if (auto* input = injector()) input->handleScroll(*message.get<ScrollEvent>());
        }
        break;
    case Case::key:
        if (authed) {
            if (auto* input = injector()) input->handleKey(*message.get<KeyEvent>());
        }
        break;
    case Case::text:
        if (authed) {
            if (auto* input = injector()) input->handleText(*message.get<TextInput>());
        }
        break;
    case Case::gesture:
        if (authed) {
            if (auto* input = injector()) input->handleGesture(*message.get<SystemGesture>());
        }
        break;
    case Case::quality:
        if (authed) {
            clientQuality_ = *message.get<QualityRequest>();
            startCapture(clientQuality_, false);
        }
        break;
    case Case::virtualDisplay:
        if (authed) {
            bool enabled = message.get<VirtualDisplayRequest>()->enabled;
            report(services_.l10n->t(enabled ? "客户端开启虚拟显示器…" : "客户端关闭虚拟显示器…"));
            userDisabledVD_ = !enabled;
            // Directly, on the session queue.
            if (services_.virtualDisplay) services_.virtualDisplay->setEnabled(enabled);
            scheduleScreenResync(2.0, true);
        }
        break;
    case Case::selectDisplay:
        if (authed) {
            uint32_t id = message.get<SelectDisplay>()->displayID;
            if (services_.displays) services_.displays->setSelectedDisplayID(id);
            // The snapshot kept ready chose its display under the old selection.
            if (services_.capture.prewarmed) (void)services_.capture.prewarmed->take();
            report(services_.l10n->tf("切换到显示器 %@…", std::to_string(id)));
            scheduleScreenResync(0.3, true);
        }
        break;
    case Case::audioControl:
        if (authed) audioMuted_ = !message.get<AudioControl>()->enabled;
        break;
    case Case::clipboard:
        if (authed) receiveClipboard(message.get<ClipboardSync>()->text);
        break;
    case Case::clientStats:
        if (authed) handleClientStats(*message.get<ClientStats>());
        break;
    case Case::fileBegin:
        if (authed) files_->fileBegin(*message.get<FileBegin>());
        break;
    case Case::fileEnd:
        files_->fileEnd(*message.get<FileEnd>());  // matched against the file being received
        break;
    case Case::heartbeat:
        if (authed) heartbeatReply();
        break;
    case Case::requestKeyframe:
        if (authed) requestKeyframe();
        break;
    case Case::hello:
    case Case::enroll:
    case Case::authResponse:
        break;  // the handshake's messages are handled before dispatch
    case Case::helloAck:
    case Case::videoConfig:
    case Case::cursorPos:
    case Case::frontApp:
    case Case::captureAlive:
    case Case::captureError:
    case Case::audioConfig:
    case Case::cursorShape:
    case Case::serverHello:
    case Case::pairRequired:
    case Case::enrollResult:
    case Case::authChallenge:
    case Case::authFailed:
        break;  // only the agent sends these: ignored
    }
}

void AgentSession::handlePointer(const PointerEvent& event) {
    auto* input = injector();
    if (!input) return;
    input->handlePointer(event);
    if (!event.ts) return;
    double now = queue_->now();
    if (!(now - lastPointerEchoAt_ > pointerEchoInterval)) return;
    if (auto pos = input->currentNormalizedPosition()) {
        lastPointerEchoAt_ = now;
        sendControl(CursorPos(pos->first, pos->second, event.ts));
    }
}

void AgentSession::heartbeatReply() {
    lastHeartbeatAt_ = queue_->now();
    sendControl(Heartbeat{});
    sendControl(captureAlive());
    if (auto* input = injector()) {
        if (auto pos = input->currentNormalizedPosition()) sendControl(CursorPos(pos->first, pos->second));
    }
}

void AgentSession::scheduleScreenResync(double after, bool force) {
    lastResyncRequest_ = {after, force};
    // A forced request is never weakened by a later unforced one; only the last request
    // within a delay runs, after its own delay.
    resyncForce_ = resyncForce_ || force;
    if (screenChangeDebounce_) screenChangeDebounce_->cancel();
    std::weak_ptr<AgentSession> weak = weak_from_this();
    screenChangeDebounce_ = queue_->postAfter(after, [weak] {
        if (auto self = weak.lock()) self->runScreenResync();
    });
}

}  // namespace df
