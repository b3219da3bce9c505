#pragma once
// The services a session reaches beyond its connections, handed in by whoever makes the
// server (the agent's main, or a test with fakes). Every member may be left empty: the
// session then does what it does without that component.

#include "DuskFerryAgent/session/SessionInput.h"
#include "platform/DispatchQueue.h"
#include "platform/NetInfo.h"
#include "platform/SettingsStore.h"

#include <functional>
#include <memory>
#include <string>

namespace df {

class Approval;

struct SessionServices {
    /// The main queue: approval prompts, the virtual-display slots and the delayed lock run
    /// there. Empty: those run on the session queue.
    std::shared_ptr<DispatchQueue> mainQueue;
    /// The approval prompt. Empty: enrolment requests of unknown phones are declined.
    std::shared_ptr<Approval> approval;
    /// "lockOnDisconnect" is read here. Empty: SettingsStore::standard().
    SettingsStore* settings = nullptr;
    /// Makes the input injector on first use, on the session queue. Empty: no input.
    std::function<std::shared_ptr<SessionInput>(std::shared_ptr<DispatchQueue> sessionQueue)> makeInput;
    /// Posts the screen-lock chord (Control+Command+Q, key code 12) through the event
    /// services; called on the main queue. Empty: the screen is never locked.
    std::function<void()> postLockChord;
    /// Declares user activity (wakes the display) under the given assertion name.
    std::function<void(const std::string& name)> declareUserActivity;
    /// Where the wake-on-LAN address is looked up. Empty: the host's list.
    const InterfaceAddressList* addresses = nullptr;
    /// The agent's name and identifier for serverHello and helloAck.
    std::string agentName = "Mac";
    std::string macDeviceID;
};

}  // namespace df
