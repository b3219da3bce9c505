#pragma once
// The services a session reaches beyond its connections, handed in by whoever makes the
// server (the agent's main with the host's services, or a test with fakes). Every member
// may be left empty: the session then does what it does without that component.

#include "DuskFerryAgent/session/SessionInput.h"
#include "platform/DispatchQueue.h"
#include "platform/NetInfo.h"
#include "platform/SettingsStore.h"

#include <functional>
#include <memory>
#include <string>

namespace df {

class Approval;
class DisplayTarget;
class L10n;
class TrustStore;
class VirtualDisplayControl;

struct SessionServices {
    /// The main queue: approval prompts, the virtual-display slots and the delayed lock run
    /// there. Empty: those run on the session queue.
    std::shared_ptr<DispatchQueue> mainQueue;
    /// The approval prompt. Empty: enrolment requests of unknown phones are declined.
    std::shared_ptr<Approval> approval;
    /// The trusted phones and this computer's identity. Empty: no phone is trusted and
    /// enrolment requests are declined.
    std::shared_ptr<TrustStore> trust;
    /// The texts' language. Empty: English.
    std::shared_ptr<const L10n> l10n;
    /// The agent's display choices, shared with the input injector. Empty: no display is
    /// known (the hello acknowledgement reports the default screen).
    std::shared_ptr<DisplayTarget> displays;
    /// The virtual-display slots. Empty: the phone's virtual-display requests do nothing.
    std::shared_ptr<VirtualDisplayControl> virtualDisplay;
    /// "lockOnDisconnect" is read here; the store outlives the server. Empty: never locks.
    SettingsStore* settings = nullptr;
    /// Makes the input injector on first use, on the session queue. Empty: no input.
    std::function<std::shared_ptr<SessionInput>(std::shared_ptr<DispatchQueue> sessionQueue)> makeInput;
    /// Posts the screen-lock chord (Control+Command+Q, key code 12) through the event
    /// services; called on the main queue. Empty: the screen is never locked.
    std::function<void()> postLockChord;
    /// Declares user activity (wakes the display) under the given assertion name.
    std::function<void(const std::string& name)> declareUserActivity;
    /// Where the wake-on-LAN address is looked up; the list outlives the server. Empty:
    /// no address is sent.
    const InterfaceAddressList* addresses = nullptr;
    /// The agent's name and identifier for serverHello and helloAck.
    std::string agentName = "Mac";
    std::string macDeviceID;
};

}  // namespace df
