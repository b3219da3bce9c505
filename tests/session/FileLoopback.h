#pragma once
// The agent server for real on loopback with files both ways (the real Downloads folder in
// a temporary directory, the file queue on its own thread) and the reference phone client,
// which pairs (approved at the agent's terminal prompt), opens its media channel over TCP
// or QUIC and then sends and receives files. Shared by the file tests and the file
// benchmark; no X display is needed.

#include "DuskFerryAgent/session/AgentServer.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/Approval.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/SerialQueue.h"
#include "platform/linux/alert/TerminalAlertPresenter.h"
#include "platform/linux/files/PosixFiles.h"
#include "platform/linux/keychain/FileAgentKeychain.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "tests/support/TempDir.h"
#include "tools/phone/PhoneClient.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

namespace df::testsupport {

namespace fs = std::filesystem;

/// SHA-256 of a file, as hex; empty when it cannot be read.
inline std::string sha256File(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        EVP_DigestUpdate(ctx, buf.data(), static_cast<size_t>(in.gcount()));
    }
    unsigned char md[32];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx, md, &len);
    EVP_MD_CTX_free(ctx);
    std::string hex;
    char two[3];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    return hex;
}

/// A file of `size` pseudo-random bytes (different for each seed).
inline void writeRandomFile(const fs::path& path, uint64_t size, uint64_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint64_t> block(1 << 17);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    while (size > 0) {
        for (auto& v : block) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            v = x;
        }
        const uint64_t n = std::min<uint64_t>(size, block.size() * sizeof(uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        size -= n;
    }
}

class FileLoopback {
public:
    explicit FileLoopback(fs::path downloads) : downloads_(std::move(downloads)) {}
    ~FileLoopback() { stop(); }

    /// Starts the server; false when it did not come up.
    bool startServer() {
        if (::pipe(answerPipe_) != 0) return false;
        nullOut_ = ::open("/dev/null", O_WRONLY);
        alerts_ = std::make_shared<TerminalAlertPresenter>(mainQueue, answerPipe_[0], nullOut_);
        ServerServices s;
        s.queue = serverQueue;
        s.transport = transport;
        s.session.mainQueue = mainQueue;
        s.session.approval = Approval::create(mainQueue, alerts_, l10n_);
        s.session.trust = trust_;
        s.session.l10n = l10n_;
        s.session.agentName = "file-agent";
        s.session.macDeviceID = trust_->macDeviceID();
        s.session.files.downloads = createPosixDownloadsFolder(downloads_);
        s.session.files.reader = createPosixFileReader();
        s.session.files.makeIOQueue = [] { return SerialQueue::create("duskferry.agent.fileio"); };
        s.tcpPort = 0;
        s.quicPort = 0;
        s.bindHost = "127.0.0.1";
        server = AgentServer::create(code_, [this](const std::string& t) {
            std::lock_guard lock(mutex_);
            statuses_.push_back(t);
            changed_.notify_all();
        }, s);
        server->start();
        for (int i = 0; i < 500 && !tcpPort_; ++i) {
            serverQueue->sync([&] { tcpPort_ = server->tcpPort().value_or(0); });
            if (!tcpPort_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return tcpPort_ != 0;
    }

    /// Pairs a phone whose media channel is QUIC (`quic`) or TCP and whose files go on it;
    /// true once that channel is open.
    bool startPhone(bool quic, const fs::path& phoneDownloads) {
        phone::PhoneOptions options;
        options.agent = {"127.0.0.1", tcpPort_};
        options.code = code_;
        options.hasScript = true;
        options.media = quic ? phone::MediaMode::quic : phone::MediaMode::tcp;
        options.filesOverMedia = true;
        options.downloadDir = phoneDownloads;
        options.mediaOptions.decodeVideo = false;
        auto identity = store_.loadOrCreate("File Phone");
        if (!identity.ok()) return false;
        if (::write(answerPipe_[1], "y\n", 2) != 2) return false;  // the person at the computer approves
        auto record = [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
            changed_.notify_all();
        };
        client = phone::PhoneClient::create(options, *identity, store_, phoneQueue, transport, record, record,
                                            [this](phone::ExitStatus status, const std::string&) {
                                                std::lock_guard lock(mutex_);
                                                exitStatus_ = status;
                                                changed_.notify_all();
                                            });
        client->start();
        return waitFor([&] { return count(lines_, std::string("media channel open over ") + (quic ? "QUIC" : "TCP")) > 0; },
                       20);
    }

    void stop() {
        if (client) {
            client->stop();
            waitFor([&] { return exitStatus_.has_value(); }, 10);
            client.reset();
        }
        if (server) {
            serverQueue->sync([&] {
                if (auto session = server->session()) session->close();
            });
            serverQueue->sync([&] { server.reset(); });
        }
        alerts_.reset();
        for (auto& queue : {serverQueue, mainQueue, phoneQueue}) queue->shutdown();
        for (int* fd : {&answerPipe_[0], &answerPipe_[1], &nullOut_}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

    /// The phone sends `path` (a script step).
    void phoneSends(const fs::path& path) {
        phone::ScriptStep step;
        step.sendFile = path.string();
        client->addScriptStep(step);
    }
    /// The agent sends `paths` to the phone, as `duskferry-agent send` does.
    bool agentSends(std::vector<fs::path> paths, std::shared_ptr<FileSendObserver> observer = nullptr) {
        std::shared_ptr<FileTransfer> files;
        serverQueue->sync([&] {
            if (auto s = server->session()) files = s->fileTransfer();
        });
        if (!files) return false;
        files->sendFiles(std::move(paths), std::move(observer));
        return true;
    }

    /// Waits until `done()` holds (checked under the lock whenever something is recorded).
    template <class F>
    bool waitFor(F done, double seconds) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds), done);
    }
    static size_t count(const std::vector<std::string>& lines, const std::string& part) {
        return static_cast<size_t>(
            std::ranges::count_if(lines, [&](const auto& l) { return l.find(part) != std::string::npos; }));
    }
    /// Waits for `n` status texts containing `part`.
    bool waitForStatus(const std::string& part, size_t n, double seconds) {
        return waitFor([&] { return count(statuses_, part) >= n; }, seconds);
    }
    bool waitForLine(const std::string& part, size_t n, double seconds) {
        return waitFor([&] { return count(lines_, part) >= n; }, seconds);
    }
    std::vector<std::string> statuses() {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    std::shared_ptr<SerialQueue> serverQueue = SerialQueue::create("duskferry.server");
    std::shared_ptr<SerialQueue> mainQueue = SerialQueue::create("main");
    std::shared_ptr<SerialQueue> phoneQueue = SerialQueue::create("duskferry.phone");
    std::shared_ptr<TransportFactory> transport = makeLinuxTransportFactory();
    std::shared_ptr<AgentServer> server;
    std::shared_ptr<phone::PhoneClient> client;

private:
    fs::path downloads_;
    TempDir keys_;
    phone::IdentityStore store_{keys_ / "phone"};
    FileAgentKeychain keychain_{keys_ / "keys"};
    std::shared_ptr<TrustStore> trust_ = std::make_shared<TrustStore>(keychain_);
    std::shared_ptr<const L10n> l10n_ = std::make_shared<L10n>(std::vector<std::string>{"en"});
    std::string code_ = "314159";
    std::shared_ptr<AlertPresenter> alerts_;
    int answerPipe_[2] = {-1, -1};
    int nullOut_ = -1;
    uint16_t tcpPort_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> statuses_;
    std::vector<std::string> lines_;
    std::optional<phone::ExitStatus> exitStatus_;
};

}  // namespace df::testsupport
