#pragma once
// One phone's session: the control connection handed over by the server, the
// authentication state machine (pairing with approval, challenge and response), the hello
// acknowledgement, dispatch of control messages, the media channels (TCP and QUIC) and the
// heartbeat watchdog. Everything is torn down in one place, close().
//
// Threading: every method and every callback runs on the session queue (the server queue
// "duskferry.server"), except close() and current(), which may be called from any thread.
// Callbacks that outlive a call hold the session weakly and check `closed` first.
//
// Source files: AgentSession.cpp (lifecycle, handshake, close), AgentSessionDispatch.cpp
// (per-message handling), AgentSessionMedia.cpp (media channels, outgoing media, watchdog),
// AgentSessionCapture.cpp (capture generations, start failures, the video send path) and
// AgentSessionAdaptation.cpp (the adaptive controller: bit rate and resolution ladder) and
// AgentSessionWatchers.cpp (clipboard, front app, display changes, cursor shape); file
// transfer is its own component (FileTransfer.cpp), owned here and wired in
// AgentSessionFiles.cpp.

#include "DuskFerryAgent/session/SessionServices.h"
#include "platform/Transport.h"
#include "protocol/ControlMessage.h"
#include "protocol/MediaPayloads.h"
#include "protocol/WireFrame.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace df {

class CaptureEngine;
class ClipboardWatcher;
class CursorShapeWatcher;
class FrontAppWatcher;
class ScreenWatcher;

class AgentSession : public std::enable_shared_from_this<AgentSession> {
public:
    using StatusCallback = std::function<void(const std::string& text)>;
    using AuthResultCallback = std::function<void(bool success)>;
    using QuicPortProvider = std::function<std::optional<uint16_t>()>;

    enum class AuthState { start, awaitingEnroll, awaitingResponse, authed };

    static constexpr size_t receiveMaximum = 1048576;
    static constexpr double heartbeatTick = 5.0;
    static constexpr double heartbeatLimit = 10.0;
    static constexpr double closeAfterSendLimit = 2.0;
    static constexpr double lockDelay = 5.0;
    static constexpr double pointerEchoInterval = 0.25;
    /// Before authentication: the largest frame, and the longest device name and ID (in
    /// characters) a phone may send; longer names and IDs are refused and not stored.
    static constexpr uint32_t preAuthFrameLimit = 65536;
    static constexpr size_t maxDeviceNameLength = 128;
    static constexpr size_t maxDeviceIDLength = 64;

    // The video send path and the adaptive controller.
    static constexpr double defaultBitrate = 15.0;
    static constexpr double maxBitrate = 60.0;
    static constexpr double minBitrate = 4.0;
    static constexpr int defaultLongEdge = 1920;
    static constexpr int maxLongEdge = 5120;
    static constexpr int maxFPS = 120;
    static constexpr int fallbackFPS = 60;
    static constexpr double adaptationWindow = 2.0;
    /// A window of this many frames or fewer is too small to judge.
    static constexpr int smallestJudgedWindow = 10;
    /// After a ladder change, a stream that sent nothing for this long is restarted.
    static constexpr double stallAfterTierChange = 1.5;
    /// Frames held while the configuration they need is on its way.
    static constexpr size_t maxHeldFrames = 16;

    /// The video send path's and the adaptive controller's state (bit rates in Mbit/s,
    /// times in seconds of uptime).
    struct VideoState {
        int64_t captureGeneration = 0;
        bool headlessVDRetried = false;
        bool vdRegistrationRetried = false;
        bool chroma444Blocked = false;
        int videoInFlight = 0;
        int maxInFlight = 4;
        bool needKeyframeRecovery = false;
        bool keyframePending = false;
        int64_t framesSentTotal = 0;
        bool adaptiveEnabled = true;
        double requestedBitrate = defaultBitrate;
        double currentBitrate = defaultBitrate;
        double windowStart = 0;
        int windowSent = 0;
        int windowDropped = 0;
        double windowSendLatency = 0;
        int windowLatencySamples = 0;
        int stableWindows = 0;
        int resolutionTier = 0;
        int floorCongestedWindows = 0;
        int tierRecoveryWindows = 0;
        int appliedLongEdge = 0;
        int appliedFPS = 0;
        int requestedLongEdgeClamped = 0;
        int requestedFPSClamped = 0;
    };

    /// Frames allowed in flight at `fps`: 6.6 % of it, rounded, within 4 … 8.
    static int maxInFlightFor(int fps);
    /// (long edge, frame rate) of ladder rung `tier` for a clamped request.
    static std::pair<int, int> tierValues(int tier, int requestedLongEdge, int requestedFPS);

    static std::shared_ptr<AgentSession> create(std::shared_ptr<Connection> connection,
                                                std::shared_ptr<DispatchQueue> queue, StatusCallback onStatus,
                                                AuthResultCallback onAuthResult, QuicPortProvider quicPortProvider,
                                                SessionServices services);
    ~AgentSession();

    AgentSession(const AgentSession&) = delete;
    AgentSession& operator=(const AgentSession&) = delete;

    /// Takes over the connection: parses `initialData` (the bytes the server read while
    /// classifying) and starts the receive loop.
    void start(Bytes initialData);
    /// Entry point of every frame, from the control connection and the media channels.
    void handle(const WireFrame& frame);

    /// Encodes and sends on the control connection; nothing once closed or when encoding fails.
    void sendControl(const ControlMessage& message);
    void sendControl(const ControlMessage& message, Connection& connection);
    /// Sends, then closes when the send completed or 2 s later, whichever comes first.
    void sendControlThenClose(const ControlMessage& message);
    /// Builds and sends the hello acknowledgement.
    void sendScreenInfo();
    /// Tears the session down once, however often it is called; any thread, returns at once.
    void close();
    /// The same teardown done before returning; session queue only. The server uses it when
    /// an authenticated newcomer takes over, so the old session is gone before it begins.
    void closeAtOnce();

    /// Media connections; false means refused (the server then cancels the connection).
    bool attachMedia(std::shared_ptr<Connection> connection, const Bytes& token, const Bytes& remainder);
    bool attachQUICMedia(std::shared_ptr<Connection> connection, const Bytes& token, const Bytes& remainder);
    /// The connection outgoing media use now: QUIC stream, else TCP media, else control.
    std::shared_ptr<Connection> outgoingMediaConnection() const;
    /// Frames `payload` (videoFrame or audioFrame) and sends it on outgoingMediaConnection().
    void sendMedia(WireKind kind, const Bytes& payload, Connection::SendCompletion completion = {});

    /// The authenticated, running session, if any. Any thread.
    static std::shared_ptr<AgentSession> current();
    /// Files both ways (FileTransfer.cpp); sendFiles() on it may be called from any thread.
    const std::shared_ptr<FileTransfer>& fileTransfer() const { return files_; }

    // Read access for the application shell and tests (session queue).
    AuthState authState() const { return authState_; }
    bool isClosed() const { return closed_; }
    const Bytes& mediaToken() const { return mediaToken_; }
    const std::string& clientDeviceID() const { return clientDeviceID_; }
    const std::string& clientDeviceName() const { return clientDeviceName_; }
    const std::optional<QualityRequest>& clientQuality() const { return clientQuality_; }
    bool audioMuted() const { return audioMuted_; }
    bool userDisabledVD() const { return userDisabledVD_; }
    double currentBitrate() const { return video_.currentBitrate; }
    const VideoState& videoState() const { return video_; }
    const std::shared_ptr<CaptureEngine>& capture() const { return capture_; }
    size_t heldVideoFrames() const { return heldFrames_.size(); }
    double lastHeartbeatAt() const { return lastHeartbeatAt_; }
    std::pair<int64_t, int64_t> lastReportedScreen() const { return lastReportedScreen_; }
    bool hasMediaConnection() const { return mediaConnection_ != nullptr; }
    bool hasQuicMediaConnection() const { return quicMediaConnection_ != nullptr; }
    /// The last screen resynchronisation asked for (delay, force); the watchers that carry
    /// it out come with the screen watcher.
    std::optional<std::pair<double, bool>> lastResyncRequest() const { return lastResyncRequest_; }

private:
    AgentSession(std::shared_ptr<Connection> connection, std::shared_ptr<DispatchQueue> queue,
                 StatusCallback onStatus, AuthResultCallback onAuthResult, QuicPortProvider quicPortProvider,
                 SessionServices services);

    // Lifecycle and handshake (AgentSession.cpp).
    void receiveLoop();
    void handleControl(const ControlMessage& message);
    void handleHello(const Hello& hello);
    void handleEnroll(const Enroll& enroll);
    void approvalAnswered(const Enroll& enroll, bool approved);
    void askApproval(const Enroll& enroll, bool keyChanged);
    /// False, and the phone refused, when a name or ID is longer than the session keeps.
    bool acceptableIdentity(std::string_view deviceID, std::string_view deviceName);
    /// A name or ID from the phone as the status line may show it.
    static std::string shown(std::string_view text);
    void acceptEnrollment(const Enroll& enroll);
    void challenge();
    void handleAuthResponse(const AuthResponse& response);
    void begin();
    void closeNow();
    void report(const std::string& text);
    void onMain(std::function<void()> task);
    SessionInput* injector();
    // File transfer's view of the session (AgentSessionFiles.cpp).
    void makeFileTransfer();

    // Dispatch (AgentSessionDispatch.cpp).
    void dispatch(const ControlMessage& message);
    void handlePointer(const PointerEvent& event);
    void heartbeatReply();
    void scheduleScreenResync(double after, bool force);
    void runScreenResync();

    // Watchers (AgentSessionWatchers.cpp).
    void startWatchers();
    void stopWatchers();
    void receiveClipboard(const std::string& text);

    // Media (AgentSessionMedia.cpp).
    bool attach(std::shared_ptr<Connection> connection, const Bytes& token, const Bytes& remainder, bool quic);
    void mediaReceiveLoop(std::shared_ptr<Connection> connection, bool quic);
    void detachMedia(const std::shared_ptr<Connection>& connection, bool quic);
    void startHeartbeatWatchdog();

    // Capture and the video send path (AgentSessionCapture.cpp).
    void startCapture(const std::optional<QualityRequest>& quality, bool preserveAdaptation);
    int defaultFrameRate() const;
    void captureStartFailed(int64_t generation, std::exception_ptr error);
    void captureConfig(const VideoConfig& config);
    void captureFrame(Bytes wireFrame, bool isKeyframe);
    void captureAudioConfig(const AudioConfig& config);
    void captureAudioPacket(const AudioFramePacket& packet);
    void sendVideo(Bytes wireFrame, bool isKeyframe);
    void dropVideo(bool isKeyframe);
    void videoSent(double sentAt);
    void requestKeyframe();
    CaptureAlive captureAlive() const;
    void stopCapture();

    // The adaptive controller (AgentSessionAdaptation.cpp).
    void evaluateAdaptation();
    void applyBitrate(double mbps);
    void noteFloorCongestion();
    void applyTierChange();
    void tierChangeApplied(int64_t generation, bool success, int fps, int longEdge);
    void handleClientStats(const ClientStats& stats);

    std::shared_ptr<Connection> connection_;
    std::shared_ptr<Connection> mediaConnection_;
    WireParser mediaParser_;
    std::shared_ptr<Connection> quicMediaConnection_;
    WireParser quicParser_;
    std::optional<std::vector<std::string>> clientFeatures_;
    QuicPortProvider quicPortProvider_;
    Bytes mediaToken_;
    std::shared_ptr<DispatchQueue> queue_;
    StatusCallback onStatus_;
    WireParser parser_;
    std::shared_ptr<SessionInput> injector_;
    bool closed_ = false;
    bool audioMuted_ = false;
    bool userDisabledVD_ = false;
    AuthState authState_ = AuthState::start;
    std::string clientDeviceID_;
    std::string clientDeviceName_;
    std::optional<QualityRequest> clientQuality_;
    std::optional<Bytes> pendingNonce_;
    AuthResultCallback onAuthResult_;
    std::pair<int64_t, int64_t> lastReportedScreen_{0, 0};
    double lastHeartbeatAt_ = 0;
    WorkItemRef heartbeatWatchdog_;
    double lastPointerEchoAt_ = 0;
    std::optional<std::pair<double, bool>> lastResyncRequest_;
    WorkItemRef screenChangeDebounce_;
    bool resyncForce_ = false;
    // Watchers: session queue, except cursorWatcher_, which only the main queue touches.
    std::shared_ptr<ClipboardWatcher> clipboardWatcher_;
    std::shared_ptr<FrontAppWatcher> frontAppWatcher_;
    std::shared_ptr<ScreenWatcher> screenWatcher_;
    std::shared_ptr<CursorShapeWatcher> cursorWatcher_;
    // Capture, the video send path and the adaptive controller.
    std::shared_ptr<CaptureEngine> capture_;
    VideoState video_;
    std::unique_ptr<DisplayActivity::Token> activity_;
    /// videoConfig messages handed to the control connection whose send has not completed;
    /// frames wait in heldFrames_ meanwhile, so none overtakes the configuration it needs.
    int configsInFlight_ = 0;
    std::deque<std::pair<Bytes, bool>> heldFrames_;
    SessionServices services_;
    std::shared_ptr<FileTransfer> files_;
    std::atomic<bool> closeRequested_{false};
    /// The approval prompt this session is waiting for (one at a time); withdrawn at close.
    uint64_t approvalTicket_ = 0;
};

}  // namespace df
