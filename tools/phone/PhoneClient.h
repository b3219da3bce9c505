#pragma once
// The phone's side of a session, as the agent expects it: connects to the agent over TLS
// keyed by the pairing code, says hello, enrols (waiting, without a time limit, for the
// person at the computer to approve) or answers the challenge, and once `helloAck` arrives
// sends heartbeats every 4 s, opens the media channel (QUIC when offered, else a second TCP
// connection), runs the requested messages, files and script, and shows what it receives.
//
// All of its state lives on one serial queue ("duskferry.phone" in the program); every
// transport callback is delivered there. Public operations may be called from any thread:
// they post to that queue.

#include "platform/DispatchQueue.h"
#include "platform/Transport.h"
#include "protocol/ControlMessage.h"
#include "protocol/WireFrame.h"
#include "tools/phone/IdentityStore.h"
#include "tools/phone/MediaReceiver.h"
#include "tools/phone/Script.h"

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace df::phone {

/// How the client ends; also its process exit status.
enum class ExitStatus : int {
    ok = 0,
    usage = 1,              ///< bad command line or local failure (files, identity)
    notFound = 2,           ///< no agent at that address, or none discovered
    handshakeFailed = 3,    ///< the TLS handshake failed: most likely a wrong pairing code
    authFailed = 4,         ///< the agent refused the device's authentication
    declined = 5,           ///< the person at the computer declined the pairing
    lockedOut = 6,          ///< the agent dropped the connection before the handshake
    connectionLost = 7,     ///< the agent ended the session or the network failed
};

enum class MediaMode { automatic, quic, tcp, none };

struct PhoneOptions {
    Endpoint agent;                ///< numeric host and TCP port
    std::string code;              ///< the six-digit pairing code
    std::optional<QualityRequest> quality;
    std::vector<std::string> features{"cstats", "quic"};
    MediaMode media = MediaMode::automatic;
    double duration = 0;           ///< seconds after helloAck; 0 = until interrupted or done
    double heartbeatInterval = 4.0;
    /// Send `clientStats` with measured values this often (0 = never), as a phone with
    /// the "cstats" feature does.
    double clientStatsInterval = 0;
    bool trace = false;
    bool stats = false;
    MediaOptions mediaOptions;
    std::filesystem::path downloadDir;  ///< where received files land ("" = check only)
    std::vector<ControlMessage> messages;         ///< sent once after helloAck, in order
    std::vector<std::filesystem::path> sendFiles; ///< sent after the messages, in order
    /// Files go on the media channel (QUIC, else TCP) when one is open, else on the control
    /// connection.
    bool filesOverMedia = false;
    bool hasScript = false;        ///< a script feeds steps; the client ends after its last
};

/// A media connection of the client and the parser of what it receives.
struct MediaChannel {
    std::shared_ptr<Connection> connection;
    WireParser parser;
    bool quic = false;
    bool ready = false;
};

class PhoneClient : public std::enable_shared_from_this<PhoneClient> {
public:
    using Output = std::function<void(const std::string& line)>;
    using Finished = std::function<void(ExitStatus status, const std::string& message)>;

    static std::shared_ptr<PhoneClient> create(PhoneOptions options, PhoneIdentity identity,
                                               IdentityStore store,
                                               std::shared_ptr<DispatchQueue> queue,
                                               std::shared_ptr<TransportFactory> transport,
                                               Output out, Output err, Finished finished);

    void start();
    /// Ends the session cleanly (interrupt, or the test is done): status ok.
    void stop();
    /// Script steps as they are read; run in order, each after its delay.
    void addScriptStep(ScriptStep step);
    /// No more steps will come; the client ends after the last one has run.
    void endOfScript();
    /// Input made while the session runs (the viewer window): sent at once; dropped
    /// before the session runs and after it ended.
    void sendInput(ControlMessage message);

private:
    PhoneClient(PhoneOptions options, PhoneIdentity identity, IdentityStore store,
                std::shared_ptr<DispatchQueue> queue, std::shared_ptr<TransportFactory> transport,
                Output out, Output err, Finished finished);

    enum class Phase { connecting, handshake, awaitingApproval, authenticating, running, ended };

    struct IncomingFile {
        FileBegin begin;
        std::filesystem::path path;
        int fd = -1;  ///< the new file being written, or -1 (checked but not kept)
        int64_t received = 0;
        bool writeFailed = false;
        bool overflowed = false;  ///< more bytes than announced arrived
    };
    /// Closes the file being received and, unless it is complete, removes it.
    void closeIncoming(IncomingFile& file, bool keep);

    // Control connection.
    void onControlState(ConnectionState state, const std::optional<TransportError>& error);
    void receiveControl();
    void handleFrames(std::vector<WireFrame> frames, const char* via);
    void handleControl(const ControlMessage& message);
    void send(const ControlMessage& message);
    void sendRaw(Bytes frame, Connection::SendCompletion completion = nullptr);

    // Handshake.
    void onServerHello(const ServerHello& hello);
    void sendEnroll();
    void onEnrollResult(const EnrollResult& result);
    void onAuthChallenge(const AuthChallenge& challenge);
    void onHelloAck(const HelloAck& ack);

    // Session.
    void startRunning(const HelloAck& ack);
    void sendHeartbeat();
    void onHeartbeat();
    void openMedia(bool quic);
    void onMediaState(const std::shared_ptr<Connection>& connection, ConnectionState state,
                      const std::optional<TransportError>& error);
    void receiveMedia(const std::shared_ptr<Connection>& connection);
    void dropMedia(const std::shared_ptr<Connection>& connection, const std::string& why);
    void runNextScriptStep();
    void maybeFinishAfterScript();

    // Files.
    void onFileBegin(const FileBegin& begin);
    void onFileChunk(const Bytes& payload);
    void onFileEnd(const FileEnd& end);
    void queueFile(const std::filesystem::path& path);
    void sendFileFrame(Bytes frame, Connection::SendCompletion completion = nullptr);
    void startNextOutgoingFile();
    void sendNextChunk(uint32_t fileID, std::shared_ptr<std::ifstream> in, int64_t sent,
                       int64_t total, std::string name);

    void tickStats();
    void sendClientStats();
    void finish(ExitStatus status, const std::string& message);
    std::string stamp() const;
    void trace(const std::string& direction, const std::string& text);

    PhoneOptions options_;
    PhoneIdentity identity_;
    IdentityStore store_;
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<TransportFactory> transport_;
    Output out_;
    Output err_;
    Finished finished_;
    double startedAt_ = 0;

    Phase phase_ = Phase::connecting;
    std::shared_ptr<Connection> control_;
    WireParser controlParser_;
    bool controlEverReady_ = false;
    bool controlBytesReceived_ = false;

    std::optional<ServerHello> server_;
    std::optional<HelloAck> helloAck_;
    bool enrollSent_ = false;

    std::unique_ptr<MediaReceiver> media_;
    std::optional<MediaChannel> quicMedia_;
    std::optional<MediaChannel> tcpMedia_;
    bool quicTried_ = false;

    std::deque<double> heartbeatsSent_;
    WorkItemRef heartbeatTimer_;
    WorkItemRef statsTimer_;
    WorkItemRef durationTimer_;
    WorkItemRef scriptTimer_;
    WorkItemRef clientStatsTimer_;
    int64_t statsPicturesBefore_ = 0;
    int64_t statsErrorsBefore_ = 0;

    std::deque<ScriptStep> script_;
    bool scriptRunning_ = false;
    bool scriptEnded_ = false;

    std::optional<IncomingFile> incoming_;
    std::deque<std::filesystem::path> outgoing_;
    std::shared_ptr<Connection> fileConnection_;
    bool sending_ = false;
};

}  // namespace df::phone
