#include "DuskFerryAgent/session/FileTransfer.h"

#include "DuskFerryAgent/shell/L10n.h"
#include "protocol/MediaPayloads.h"
#include "protocol/SecureRandom.h"
#include "protocol/WireFrame.h"

#include <algorithm>
#include <limits>

namespace df {
namespace {

constexpr const char* kReceiving = "接收文件：%@…";
constexpr const char* kReceived = "已接收：%@ → 下载文件夹";
constexpr const char* kReceiveFailed = "接收失败：%@ 数据不完整，请重发";
constexpr const char* kSending = "发送文件：%@…";
constexpr const char* kSent = "已发送：%@";
constexpr const char* kSendInterrupted = "发送中断：%@";

/// Whole percent of `part` in `whole` (whole ≥ 1), without overflow for any 64-bit size.
int64_t percentOf(int64_t part, int64_t whole) {
    if (whole > std::numeric_limits<int64_t>::max() / 100) return part / (whole / 100);
    if (part > std::numeric_limits<int64_t>::max() / 100) return 100;
    return part * 100 / whole;
}

/// The longest number the naming tries before it gives up.
constexpr int kMaxNameNumber = 100000;

}  // namespace

std::shared_ptr<FileTransfer> FileTransfer::create(Session session, FileTransferServices services) {
    return std::shared_ptr<FileTransfer>(new FileTransfer(std::move(session), std::move(services)));
}

FileTransfer::FileTransfer(Session session, FileTransferServices services)
    : session_(std::move(session)), services_(std::move(services)) {}

FileTransfer::~FileTransfer() = default;

std::shared_ptr<DispatchQueue> FileTransfer::ioQueue() {
    if (!fileIOQueue_) fileIOQueue_ = services_.makeIOQueue ? services_.makeIOQueue() : session_.queue;
    return fileIOQueue_;
}

std::string FileTransfer::text(const char* key, const std::string& name) const {
    return session_.l10n ? session_.l10n->tf(key, name) : L10n::format(key, name);
}

void FileTransfer::showProgress(std::optional<std::string> text) {
    if (!services_.progressText) return;
    session_.onMain([show = services_.progressText, text = std::move(text)] { show(text); });
}

// ---------------------------------------------------------------------------------------
// Receiving (session queue; file work on the file queue).

void FileTransfer::fileBegin(const FileBegin& begin) {
    abandonIncoming();
    lastProgressPct_ = -1;
    const size_t maxName = services_.downloads ? services_.downloads->maxNameBytes() : 255;
    // The name is shown as it will be stored: what the phone sent may hold control or
    // direction-changing characters that would garble the status line or the terminal.
    const std::string safe = FileNames::safeName(begin.name, maxName);
    Result<std::unique_ptr<IncomingDownload>> created = Failure{"no Downloads folder"};
    if (services_.downloads) created = services_.downloads->create();
    if (!created) {
        // The phone believes the file is on its way: say here that it is not.
        receiveFailed(safe);
        return;
    }
    auto writing = std::make_shared<Writing>();
    writing->file = std::move(created.value());
    incoming_ = Incoming{begin.fileID, begin.name, safe, begin.size, 0, std::move(writing)};
    session_.report(text(kReceiving, safe));
}

void FileTransfer::fileChunk(std::span<const uint8_t> payload) {
    auto chunk = FileChunk::decode(payload);
    if (!chunk || !incoming_ || incoming_->id != chunk->fileID) return;
    const auto length = static_cast<int64_t>(chunk->chunk.size());
    if (incoming_->size >= 1 && length > incoming_->size - incoming_->received) {
        // More than announced: the phone and this side disagree about the file, so none of
        // it can be trusted to be the file the user sent.
        const std::string safe = incoming_->safe;
        abandonIncoming();
        receiveFailed(safe);
        return;
    }
    std::weak_ptr<FileTransfer> weak = weak_from_this();
    auto sessionQueue = session_.queue;
    backlog_->bytes += chunk->chunk.size();
    ioQueue()->post([writing = incoming_->writing, bytes = std::move(chunk->chunk), weak, sessionQueue,
                     backlog = backlog_] {
        if (!writing->failed && writing->file) {
            if (auto error = writing->file->write(bytes)) {
                writing->failed = true;
                writing->file->discard();
                sessionQueue->post([weak, writing] {
                    if (auto self = weak.lock()) self->writeFailed(writing);
                });
            }
        }
        const size_t left = backlog->bytes -= bytes.size();
        if (left <= maxPendingWrites / 2 && backlog->waiting.exchange(false)) {
            sessionQueue->post([weak] {
                if (auto self = weak.lock()) self->resumeReceiving();
            });
        }
    });
    incoming_->received += length;
    if (incoming_->size >= 1) {
        const int pct = static_cast<int>(std::min<int64_t>(percentOf(incoming_->received, incoming_->size), 100));
        if (pct != lastProgressPct_) {
            lastProgressPct_ = pct;
            showProgress("↓" + std::to_string(pct) + "%");
        }
    }
}

bool FileTransfer::receivingBacklogged() const { return backlog_->bytes.load() > maxPendingWrites; }

void FileTransfer::whenDrained(std::function<void()> resume) {
    resumes_.push_back(std::move(resume));
    backlog_->waiting = true;
    // The file queue may have drained between the check and the flag.
    if (backlog_->bytes.load() <= maxPendingWrites / 2 && backlog_->waiting.exchange(false)) {
        std::weak_ptr<FileTransfer> weak = weak_from_this();
        session_.queue->post([weak] {
            if (auto self = weak.lock()) self->resumeReceiving();
        });
    }
}

void FileTransfer::resumeReceiving() {
    auto resumes = std::exchange(resumes_, {});
    for (auto& resume : resumes) resume();
}

void FileTransfer::writeFailed(const std::shared_ptr<Writing>& writing) {
    // Reported at once rather than at fileEnd: a full disk should be told while the phone
    // is still sending, and the rest of the file is not written anywhere.
    if (!incoming_ || incoming_->writing != writing) return;
    const std::string safe = incoming_->safe;
    incoming_.reset();
    receiveFailed(safe);
}

void FileTransfer::fileEnd(const FileEnd& end) {
    if (!incoming_ || incoming_->id != end.fileID) return;
    Incoming file = std::move(*incoming_);
    incoming_.reset();
    const bool incomplete = file.size > 0 && file.received != file.size;
    const size_t maxName = services_.downloads ? services_.downloads->maxNameBytes() : 255;
    std::weak_ptr<FileTransfer> weak = weak_from_this();
    auto sessionQueue = session_.queue;
    ioQueue()->post([writing = file.writing, incomplete, safe = file.safe, maxName, weak, sessionQueue] {
        Result<std::filesystem::path> result = Failure{"incomplete"};
        if (writing->file && !writing->failed && !incomplete) {
            result = writing->file->complete([&](int n) {
                return n > kMaxNameNumber ? std::string() : FileNames::candidate(safe, n, maxName);
            });
        } else if (writing->file) {
            writing->file->discard();
        }
        writing->file.reset();
        sessionQueue->post([weak, safe, result] {
            if (auto self = weak.lock()) self->received(safe, result);
        });
    });
}

void FileTransfer::received(const std::string& safeName, const Result<std::filesystem::path>& result) {
    session_.report(text(result ? kReceived : kReceiveFailed, safeName));
    if (services_.progressText || (result && services_.revealer)) {
        session_.onMain([show = services_.progressText, revealer = result ? services_.revealer : nullptr,
                         path = result ? *result : std::filesystem::path()] {
            if (show) show(std::nullopt);
            if (revealer) revealer->reveal(path);
        });
    }
}

void FileTransfer::receiveFailed(const std::string& safeName) {
    session_.report(text(kReceiveFailed, safeName));
    showProgress(std::nullopt);
}

void FileTransfer::abandonIncoming() {
    if (!incoming_) return;
    ioQueue()->post([writing = incoming_->writing] {
        writing->failed = true;
        if (writing->file) writing->file->discard();
        writing->file.reset();
    });
    incoming_.reset();
}

void FileTransfer::sessionClosed() {
    // Neither direction goes on, so no progress may stay on show.
    if (incoming_ || sendingFile_) showProgress(std::nullopt);
    abandonIncoming();
    for (auto& queued : outgoingFiles_) {
        if (queued.observer) queued.observer->skipped(queued.path, "the phone disconnected");
    }
    outgoingFiles_.clear();
}

// ---------------------------------------------------------------------------------------
// Sending (session queue).

void FileTransfer::sendFiles(std::vector<std::filesystem::path> paths, std::shared_ptr<FileSendObserver> observer) {
    std::weak_ptr<FileTransfer> weak = weak_from_this();
    session_.queue->post([weak, paths = std::move(paths), observer = std::move(observer)] {
        auto self = weak.lock();
        if (!self) return;
        for (const auto& path : paths) self->outgoingFiles_.push_back({path, observer});
        if (!self->sendingFile_) self->startNextOutgoingFile();
    });
}

void FileTransfer::startNextOutgoingFile() {
    while (session_.ready() && !outgoingFiles_.empty()) {
        Queued next = std::move(outgoingFiles_.front());
        outgoingFiles_.pop_front();
        Result<std::unique_ptr<ReadableFile>> opened = Failure{"files cannot be read here"};
        if (services_.reader) opened = services_.reader->open(next.path);
        if (!opened) {
            if (next.observer) next.observer->skipped(next.path, opened.error());
            continue;
        }
        sendingFile_ = true;
        auto out = std::make_shared<Outgoing>();
        out->file = std::move(opened.value());
        const int64_t size = out->file->size().value_or(0);
        uint32_t id = 0;
        while (id == 0) SecureRandom::fill(reinterpret_cast<uint8_t*>(&id), sizeof id);
        out->id = id;
        out->name = next.path.filename().string();
        out->connection = session_.fileConnection();
        out->observer = std::move(next.observer);
        session_.sendControl(FileBegin(id, out->name, size), *out->connection);
        session_.report(text(kSending, out->name));
        if (out->observer) out->observer->started(out->name, size);
        sendNextChunk(std::move(out), 0, size, 0);
        return;
    }
    sendingFile_ = false;
    for (auto& queued : outgoingFiles_) {
        if (queued.observer) queued.observer->skipped(queued.path, "no phone is connected");
    }
    outgoingFiles_.clear();
}

void FileTransfer::sendNextChunk(std::shared_ptr<Outgoing> out, int64_t sent, int64_t total, int yields) {
    if (session_.closed()) {
        outgoingEnded(out, false, "the phone disconnected");
        return;
    }
    std::weak_ptr<FileTransfer> weak = weak_from_this();
    if (session_.videoInFlight() > 1 && yields <= maxYields) {
        session_.queue->postAfter(backOffStep, [weak, out, sent, total, yields] {
            if (auto self = weak.lock()) self->sendNextChunk(out, sent, total, yields + 1);
        });
        return;
    }
    const int64_t length = total < 1 ? static_cast<int64_t>(chunkSize)
                                     : std::min<int64_t>(total - sent, static_cast<int64_t>(chunkSize));
    Bytes data;
    if (length > 0) {
        auto read = out->file->read(static_cast<size_t>(length));
        if (!read) {
            // Ending here with fileEnd would pass a cut file off as whole.
            session_.report(text(kSendInterrupted, out->name));
            showProgress(std::nullopt);
            outgoingEnded(out, false, read.error());
            startNextOutgoingFile();
            return;
        }
        data = std::move(read.value());
    }
    if (data.empty()) {
        session_.sendControl(FileEnd(out->id), *out->connection);
        session_.report(text(kSent, out->name));
        showProgress(std::nullopt);
        outgoingEnded(out, true, {});
        startNextOutgoingFile();
        return;
    }
    const int64_t nowSent = sent + static_cast<int64_t>(data.size());
    if (total >= 1) {
        const int64_t before = percentOf(sent, total);
        const int64_t after = percentOf(nowSent, total);
        if (after != before && !(after >= 100 && before >= 100)) {
            const int pct = static_cast<int>(std::min<int64_t>(after, 100));
            showProgress("↑" + std::to_string(pct) + "%");
            if (out->observer) out->observer->progress(out->name, pct);
        }
    }
    out->connection->send(FileChunk::wireEncode(out->id, data), [weak, out, nowSent, total](
                                                                     std::optional<TransportError> error) {
        auto self = weak.lock();
        if (!self) return;
        if (self->session_.closed()) {
            self->outgoingEnded(out, false, "the phone disconnected");
            return;
        }
        if (error) {
            self->session_.report(self->text(kSendInterrupted, out->name));
            self->showProgress(std::nullopt);
            self->outgoingEnded(out, false, error->description);
            self->startNextOutgoingFile();
            return;
        }
        self->sendNextChunk(out, nowSent, total, 0);
    });
}

void FileTransfer::outgoingEnded(const std::shared_ptr<Outgoing>& out, bool sent, const std::string& why) {
    out->file.reset();
    if (auto observer = std::exchange(out->observer, nullptr)) observer->finished(out->name, sent, why);
}

}  // namespace df
