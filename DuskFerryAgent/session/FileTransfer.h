#pragma once
// File transfer, the session's part that moves files both ways: files from the phone land
// in the Downloads folder, files picked on this computer go to the phone, with progress in
// the status bar and the status texts.
//
// Receiving: fileBegin makes a new hidden temporary file in Downloads; each chunk is
// written on the session's own serial file queue "duskferry.agent.fileio" (made on first
// use), so disk work never holds up input and video; at a matching fileEnd with every
// announced byte the file takes its final name ("report.pdf", else "report 2.pdf", ...),
// claimed in one step so that nothing existing is ever replaced. A transfer cut short (the
// session ends, another fileBegin replaces it, a write fails, more bytes than announced
// arrive, fewer than announced at fileEnd) leaves nothing behind.
//
// Sending: one file at a time from a queue of files; 64 KiB chunks, each read and sent once
// the transport has taken the previous one; a chunk waits up to 4 × 15 ms while more than
// one video frame is in flight.
//
// Threading: every method runs on the session queue except sendFiles(), which may be called
// from any thread. Writes, closes and deletes of received files run on the file queue; the
// progress text and revealing a file run on the main queue.

#include "DuskFerryAgent/session/FileNames.h"
#include "platform/DispatchQueue.h"
#include "platform/Files.h"
#include "platform/Transport.h"
#include "protocol/ControlMessage.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace df {

class L10n;

/// The host's side of file transfer, handed in with the session's services. Any member may
/// be empty.
struct FileTransferServices {
    /// Where files from the phone go. Empty: they are refused with the failure text.
    std::shared_ptr<DownloadsFolder> downloads;
    /// Reads files for sending. Empty: nothing can be sent.
    std::shared_ptr<FileReader> reader;
    /// Shows a received file in the file browser (main queue). Empty: not shown.
    std::shared_ptr<FileRevealer> revealer;
    /// Makes a session's file queue ("duskferry.agent.fileio", serial, utility priority).
    /// Empty: file work runs on the session queue.
    std::function<std::shared_ptr<DispatchQueue>()> makeIOQueue;
    /// The status bar's progress text ("↓42%"; nothing: no text), called on the main queue.
    std::function<void(const std::optional<std::string>& text)> progressText;
};

/// Hears how files handed to sendFiles() fare; called on the session queue.
class FileSendObserver {
public:
    virtual ~FileSendObserver() = default;
    virtual void started(const std::string& name, int64_t size) = 0;
    /// Each whole percentage once, as chunks are taken by the network.
    virtual void progress(const std::string& name, int percent) = 0;
    /// The file went out whole (`sent`), or stopped partway (`why`).
    virtual void finished(const std::string& name, bool sent, const std::string& why) = 0;
    /// The file was not sent at all (it cannot be read, or the phone left first).
    virtual void skipped(const std::filesystem::path& path, const std::string& why) = 0;
};

class FileTransfer : public std::enable_shared_from_this<FileTransfer> {
public:
    static constexpr size_t chunkSize = 65536;
    static constexpr double backOffStep = 0.015;
    /// A chunk backs off while its yields so far are at most this many.
    static constexpr int maxYields = 3;
    static constexpr size_t maxPendingWrites = 4u << 20;

    /// What the transfer needs of its session (session queue).
    struct Session {
        std::shared_ptr<DispatchQueue> queue;
        std::function<void(const std::string&)> report;
        std::function<void(std::function<void()>)> onMain;
        /// Authenticated and not closed.
        std::function<bool()> ready;
        std::function<bool()> closed;
        std::function<int()> videoInFlight;
        /// The TCP media connection when one is attached, else the control connection.
        std::function<std::shared_ptr<Connection>()> fileConnection;
        std::function<void(const ControlMessage&, Connection&)> sendControl;
        std::shared_ptr<const L10n> l10n;
    };

    static std::shared_ptr<FileTransfer> create(Session session, FileTransferServices services);
    ~FileTransfer();

    // From the dispatcher (authenticated phones only, except fileEnd, matched here).
    void fileBegin(const FileBegin& begin);
    void fileChunk(std::span<const uint8_t> payload);
    void fileEnd(const FileEnd& end);
    /// The session closed: a file being received is dropped.
    void sessionClosed();

    /// True while more than `maxPendingWrites` bytes of received chunks wait for the disk:
    /// the session then stops reading its connections, so a disk slower than the network
    /// holds the phone back instead of filling memory.
    bool receivingBacklogged() const;
    /// Runs `resume` on the session queue once the waiting bytes are down to half the bound.
    void whenDrained(std::function<void()> resume);

    /// Queues files for the phone. Any thread.
    void sendFiles(std::vector<std::filesystem::path> paths, std::shared_ptr<FileSendObserver> observer = nullptr);

    // For tests (session queue).
    bool receiving() const { return incoming_.has_value(); }
    bool sending() const { return sendingFile_; }

private:
    /// The file being written; touched only on the file queue.
    struct Writing {
        std::unique_ptr<IncomingDownload> file;
        bool failed = false;
    };
    struct Incoming {
        uint32_t id = 0;
        std::string name;  ///< as announced
        std::string safe;  ///< the name it is stored and shown under
        int64_t size = 0;
        int64_t received = 0;
        std::shared_ptr<Writing> writing;
    };
    struct Queued {
        std::filesystem::path path;
        std::shared_ptr<FileSendObserver> observer;
    };
    struct Outgoing {
        std::unique_ptr<ReadableFile> file;
        uint32_t id = 0;
        std::string name;
        std::shared_ptr<Connection> connection;
        std::shared_ptr<FileSendObserver> observer;
    };

    /// Bytes handed to the file queue and not yet written; shared with its tasks.
    struct Backlog {
        std::atomic<size_t> bytes{0};
        std::atomic<bool> waiting{false};
    };

    FileTransfer(Session session, FileTransferServices services);
    void resumeReceiving();
    std::shared_ptr<DispatchQueue> ioQueue();
    std::string text(const char* key, const std::string& name) const;
    void showProgress(std::optional<std::string> text);
    /// Drops the file being received (its partial file is removed).
    void abandonIncoming();
    void receiveFailed(const std::string& safeName);
    void writeFailed(const std::shared_ptr<Writing>& writing);
    void received(const std::string& safeName, const Result<std::filesystem::path>& result);
    void startNextOutgoingFile();
    void sendNextChunk(std::shared_ptr<Outgoing> out, int64_t sent, int64_t total, int yields);
    void outgoingEnded(const std::shared_ptr<Outgoing>& out, bool sent, const std::string& why);

    Session session_;
    FileTransferServices services_;
    std::shared_ptr<DispatchQueue> fileIOQueue_;
    std::optional<Incoming> incoming_;
    int lastProgressPct_ = -1;
    std::shared_ptr<Backlog> backlog_ = std::make_shared<Backlog>();
    std::vector<std::function<void()>> resumes_;
    std::deque<Queued> outgoingFiles_;
    bool sendingFile_ = false;
};

}  // namespace df
