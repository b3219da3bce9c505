#pragma once
// The services a session reaches beyond its connections, handed in by whoever makes the
// server (the agent's main with the host's services, or a test with fakes). Every member
// may be left empty: the session then does what it does without that component.

#include "DuskFerryAgent/session/FileTransfer.h"
#include "DuskFerryAgent/session/SessionInput.h"
#include "platform/AudioCapture.h"
#include "platform/AudioConversion.h"
#include "platform/DispatchQueue.h"
#include "platform/DisplayActivity.h"
#include "platform/NetInfo.h"
#include "platform/Pasteboard.h"
#include "platform/ScreenParameters.h"
#include "platform/ScreenCapture.h"
#include "platform/SettingsStore.h"
#include "platform/SystemCursor.h"
#include "platform/VideoCompression.h"
#include "platform/Workspace.h"

#include <functional>
#include <memory>
#include <string>

namespace df {

class Approval;
class DisplayTarget;
class L10n;
class PrewarmedContent;
class TrustStore;
class VirtualDisplayControl;

/// What a session's capture engines are made of.
struct SessionCaptureServices {
    /// The host's screen capture and video compression. Either empty: no capture runs (the
    /// adaptation state still follows the phone's requests, and the heartbeat reports
    /// capture as not alive).
    std::shared_ptr<ScreenCapture> screen;
    std::shared_ptr<VideoCompression> compression;
    /// Serial, user-interactive ("duskferry.capture"): screen samples, the idle-refinement
    /// timer, keyframe requests and encoder swaps of every engine; one engine runs at a time.
    std::shared_ptr<DispatchQueue> videoQueue;
    /// Where an engine's blocking start runs, off the session queue.
    std::shared_ptr<DispatchQueue> startQueue;
    /// The content snapshot kept ready for a quick start. Empty: every start asks the host.
    std::shared_ptr<PrewarmedContent> prewarmed;
    /// Times the encoders. Empty: the system clock.
    std::shared_ptr<const Clock> encoderClock;
    /// System audio: the sound server's recording, the encoders, and the serial queue
    /// ("duskferry.capture.audio") its buffers are encoded on. Any of them empty: no audio is
    /// negotiated and the phone gets video only.
    std::shared_ptr<AudioCapture> audio;
    std::shared_ptr<AudioConversion> audioConversion;
    std::shared_ptr<DispatchQueue> audioQueue;
};

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
    /// Keeps the display awake while a session streams. Empty: the display may sleep.
    std::shared_ptr<DisplayActivity> displayActivity;
    /// The session's watchers: the clipboard (both ways), the frontmost application, display
    /// changes and the cursor's shape. Each one empty: that watcher does not run (and without
    /// a clipboard the phone's clipboard texts are dropped).
    std::shared_ptr<Pasteboard> pasteboard;
    std::shared_ptr<Workspace> workspace;
    std::shared_ptr<ScreenParameters> screenParameters;
    std::shared_ptr<SystemCursor> cursor;
    /// Capture and encoding of the screen.
    SessionCaptureServices capture;
    /// Files both ways: the Downloads folder, reading files to send, progress and reveal.
    FileTransferServices files;
    /// Where the wake-on-LAN address is looked up; the list outlives the server. Empty:
    /// no address is sent.
    const InterfaceAddressList* addresses = nullptr;
    /// The agent's name and identifier for serverHello and helloAck.
    std::string agentName = "Mac";
    std::string macDeviceID;
};

}  // namespace df
