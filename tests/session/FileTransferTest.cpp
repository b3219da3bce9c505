// File transfer against in-memory files, a fake connection and manual queues (the session
// queue, the file queue and the main queue played by the test): naming, progress, the
// transfers that are cut short, and the sender's pacing, back-off and texts.

#include "DuskFerryAgent/session/FileTransfer.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "platform/fake/files/MemoryFiles.h"
#include "platform/fake/queue/ManualQueue.h"
#include "platform/fake/transport/FakeTransport.h"
#include "protocol/MediaPayloads.h"
#include "protocol/WireFrame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace df {
namespace {

using ::testing::ElementsAre;

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes filled(size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7 + 3);
    return out;
}

class RecordingObserver final : public FileSendObserver {
public:
    std::vector<std::string> events;
    void started(const std::string& name, int64_t size) override {
        events.push_back("started " + name + " " + std::to_string(size));
    }
    void progress(const std::string& name, int percent) override {
        events.push_back("progress " + name + " " + std::to_string(percent));
    }
    void finished(const std::string& name, bool sent, const std::string&) override {
        events.push_back(std::string(sent ? "sent " : "interrupted ") + name);
    }
    void skipped(const std::filesystem::path& path, const std::string&) override {
        events.push_back("skipped " + path.string());
    }
};

class FileTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        conn->start(queue);
        FileTransfer::Session s;
        s.queue = queue;
        s.report = [this](const std::string& t) { statuses.push_back(t); };
        s.onMain = [this](std::function<void()> task) { main->post(std::move(task)); };
        s.ready = [this] { return ready && !closed; };
        s.closed = [this] { return closed; };
        s.videoInFlight = [this] { return videoInFlight; };
        s.fileConnection = [this] { return conn; };
        s.sendControl = [](const ControlMessage& m, Connection& c) {
            c.send(m.encodedFrame().value(), [](std::optional<TransportError>) {});
        };
        s.l10n = l10n;
        FileTransferServices f;
        f.downloads = downloads;
        f.reader = reader;
        f.revealer = revealer;
        f.makeIOQueue = [this] { return io; };
        f.progressText = [this](const std::optional<std::string>& t) { progress.push_back(t.value_or("")); };
        files = FileTransfer::create(std::move(s), std::move(f));
    }
    void TearDown() override {
        files.reset();
        run();
        // Sends still waiting and a back-off still waiting hold the transfer: the connection
        // and the queues end as the session's do.
        conn->cancel();
        run();
        for (const auto& q : {queue, io, main}) q->shutdown();
    }
    void run() {
        for (int i = 0; i < 4; ++i) {
            queue->runUntilIdle();
            io->runUntilIdle();
            main->runUntilIdle();
        }
    }
    void chunk(uint32_t id, const Bytes& data) {
        files->fileChunk(FileChunk::encode(id, data));
        run();
    }
    /// A whole transfer from the phone: begin, the chunks, end.
    void receive(uint32_t id, const std::string& name, const Bytes& data, int64_t announced = -1) {
        files->fileBegin(FileBegin(id, name, announced < 0 ? static_cast<int64_t>(data.size()) : announced));
        run();
        if (!data.empty()) chunk(id, data);
        files->fileEnd(FileEnd(id));
        run();
    }
    /// The frames the sender put on the connection: (kind, fileID or 0, chunk length).
    struct Sent {
        ControlMessage::Case control{};
        WireKind kind{};
        size_t chunk = 0;
    };
    std::vector<Sent> sentFrames() {
        WireParser parser;
        std::vector<Sent> out;
        for (const auto& f : parser.append(conn->sentBytes())) {
            Sent s{ControlMessage::Case::heartbeat, f.kind, 0};
            if (f.kind == WireKind::control) s.control = ControlMessage::decode(std::span<const uint8_t>(f.payload))->messageCase();
            if (f.kind == WireKind::fileChunk) s.chunk = FileChunk::decode(f.payload)->chunk.size();
            out.push_back(s);
        }
        return out;
    }
    std::vector<size_t> chunkSizes() {
        std::vector<size_t> out;
        for (const auto& s : sentFrames())
            if (s.kind == WireKind::fileChunk) out.push_back(s.chunk);
        return out;
    }
    /// Completes sends one at a time until the sender stops asking.
    void drainSends() {
        for (int i = 0; i < 100000 && conn->pendingSendCount() > 0; ++i) {
            conn->completeSends(1);
            run();
        }
    }

    std::shared_ptr<fake::ManualQueue> queue = std::make_shared<fake::ManualQueue>("duskferry.server");
    std::shared_ptr<fake::ManualQueue> io = std::make_shared<fake::ManualQueue>("duskferry.agent.fileio", queue->sharedClock());
    std::shared_ptr<fake::ManualQueue> main = std::make_shared<fake::ManualQueue>("main", queue->sharedClock());
    std::shared_ptr<fake::MemoryDownloadsFolder> downloads = std::make_shared<fake::MemoryDownloadsFolder>();
    std::shared_ptr<fake::MemoryFileReader> reader = std::make_shared<fake::MemoryFileReader>();
    std::shared_ptr<fake::RecordingRevealer> revealer = std::make_shared<fake::RecordingRevealer>();
    std::shared_ptr<const L10n> l10n = std::make_shared<L10n>(std::vector<std::string>{"en"});
    std::shared_ptr<fake::FakeConnection> conn = fake::FakeConnection::make();
    std::shared_ptr<FileTransfer> files;
    std::vector<std::string> statuses;
    std::vector<std::string> progress;
    bool ready = true;
    bool closed = false;
    int videoInFlight = 0;
};

// ---- Receiving ----

TEST_F(FileTransferTest, NamesTakenAreSkippedInTurn) {
    downloads->files["report.pdf"] = bytes("old");
    downloads->files["report 2.pdf"] = bytes("older");
    downloads->files["notes"] = bytes("n");
    receive(1, "report.pdf", bytes("new report"));
    receive(2, "notes", bytes("new notes"));
    receive(3, "report.pdf", bytes("third"));
    EXPECT_EQ(downloads->files["report 3.pdf"], bytes("new report"));
    EXPECT_EQ(downloads->files["notes 2"], bytes("new notes"));
    EXPECT_EQ(downloads->files["report 4.pdf"], bytes("third"));
    EXPECT_EQ(downloads->files["report.pdf"], bytes("old"));
    EXPECT_EQ(downloads->files["report 2.pdf"], bytes("older"));
    EXPECT_THAT(statuses, ElementsAre("Receiving file: report.pdf…", "Received: report.pdf → Downloads",
                                      "Receiving file: notes…", "Received: notes → Downloads",
                                      "Receiving file: report.pdf…", "Received: report.pdf → Downloads"));
    EXPECT_THAT(revealer->revealed, ElementsAre("/home/user/Downloads/report 3.pdf", "/home/user/Downloads/notes 2",
                                                "/home/user/Downloads/report 4.pdf"));
    EXPECT_TRUE(downloads->temporary.empty());
}

TEST_F(FileTransferTest, SizeZeroShowsNoProgressAndIsReceivedWhateverArrives) {
    receive(5, "blank.txt", {});
    receive(6, "unsized.bin", bytes("anything at all"), 0);
    EXPECT_EQ(downloads->files["blank.txt"], Bytes{});
    EXPECT_EQ(downloads->files["unsized.bin"], bytes("anything at all"));
    // Only the clearing at each end: no percentage.
    EXPECT_THAT(progress, ElementsAre("", ""));
    EXPECT_EQ(statuses.back(), "Received: unsized.bin → Downloads");
}

TEST_F(FileTransferTest, ProgressShowsEachPercentageOnceAndClearsAtTheEnd) {
    files->fileBegin(FileBegin(9, "big.bin", 1000));
    run();
    for (int i = 0; i < 1000; ++i) chunk(9, Bytes{static_cast<uint8_t>(i)});
    files->fileEnd(FileEnd(9));
    run();
    ASSERT_EQ(progress.size(), 102u);  // ↓0% … ↓100%, then cleared
    for (int pct = 0; pct <= 100; ++pct) EXPECT_EQ(progress[static_cast<size_t>(pct)], "↓" + std::to_string(pct) + "%");
    EXPECT_EQ(progress.back(), "");
    EXPECT_EQ(downloads->files["big.bin"].size(), 1000u);
}

TEST_F(FileTransferTest, ChunksAndEndsOfAnotherTransferChangeNothing) {
    files->fileBegin(FileBegin(8, "eight.txt", 3));
    run();
    chunk(7, bytes("zzz"));     // another fileID
    chunk(8, bytes("abc"));
    files->fileChunk(Bytes{0, 0, 8});  // shorter than its header
    files->fileEnd(FileEnd(7));
    run();
    EXPECT_TRUE(files->receiving());
    files->fileEnd(FileEnd(8));
    run();
    EXPECT_EQ(downloads->files["eight.txt"], bytes("abc"));
}

TEST_F(FileTransferTest, ANewBeginReplacesTheTransferAndLeavesNoPartialFile) {
    files->fileBegin(FileBegin(1, "first.bin", 10));
    run();
    chunk(1, bytes("12345"));
    receive(2, "second.bin", bytes("whole"));
    files->fileEnd(FileEnd(1));  // ignored: replaced
    run();
    EXPECT_EQ(downloads->files.size(), 1u);
    EXPECT_EQ(downloads->files["second.bin"], bytes("whole"));
    EXPECT_TRUE(downloads->temporary.empty());
    EXPECT_EQ(downloads->discarded, 1);
}

TEST_F(FileTransferTest, TransfersCutShortLeaveNothingAndTheNextOneWorks) {
    struct Case {
        const char* what;
        std::function<void()> cut;
        bool reportsFailure;
    };
    const std::vector<Case> cases = {
        {"fewer bytes than announced",
         [this] {
             chunk(4, bytes("half"));
             files->fileEnd(FileEnd(4));
         },
         true},
        {"more bytes than announced",
         [this] {
             chunk(4, bytes("12345678"));
             chunk(4, bytes("9"));
             files->fileEnd(FileEnd(4));
         },
         true},
        {"a full disk",
         [this] {
             downloads->capacity = 4;
             chunk(4, bytes("1234"));
             chunk(4, bytes("5678"));
             downloads->capacity.reset();
         },
         true},
        {"the session closing", [this] {
             chunk(4, bytes("1234"));
             files->sessionClosed();
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        downloads->files.clear();
        statuses.clear();
        files->fileBegin(FileBegin(4, "cut.bin", 8));
        run();
        c.cut();
        run();
        EXPECT_TRUE(downloads->files.empty());
        EXPECT_TRUE(downloads->temporary.empty());
        EXPECT_FALSE(files->receiving());
        EXPECT_EQ(std::ranges::count(statuses, "Receive failed: cut.bin is incomplete, please resend"),
                  c.reportsFailure ? 1 : 0);
        EXPECT_EQ(std::ranges::count(statuses, "Received: cut.bin → Downloads"), 0);
        receive(5, "next.bin", bytes("fine"));
        EXPECT_EQ(downloads->files["next.bin"], bytes("fine"));
    }
}

TEST_F(FileTransferTest, AFileThatCannotBeCreatedIsReportedAsFailed) {
    downloads->failCreate = true;
    files->fileBegin(FileBegin(3, "x.txt", 1));
    run();
    EXPECT_FALSE(files->receiving());
    EXPECT_THAT(statuses, ElementsAre("Receive failed: x.txt is incomplete, please resend"));
}

TEST_F(FileTransferTest, HostileAnnouncedNamesAreShownAsStored) {
    receive(1, "../../etc/\u202Egpj.exe\x1b[31m", bytes("x"));
    ASSERT_EQ(downloads->files.size(), 1u);
    EXPECT_EQ(downloads->files.begin()->first, "gpj.exe[31m");
    EXPECT_EQ(statuses.back(), "Received: gpj.exe[31m → Downloads");
}

TEST_F(FileTransferTest, ChunksWaitingForTheDiskHoldReadingBackUntilHalfAreWritten) {
    const size_t chunkBytes = 1 << 20;
    files->fileBegin(FileBegin(2, "slow.bin", 20 * static_cast<int64_t>(chunkBytes)));
    queue->runUntilIdle();
    int resumed = 0;
    size_t sent = 0;
    // The disk (the file queue) does not run: chunks pile up until the bound.
    while (!files->receivingBacklogged()) {
        files->fileChunk(FileChunk::encode(2, filled(chunkBytes)));
        ++sent;
    }
    EXPECT_EQ(sent, FileTransfer::maxPendingWrites / chunkBytes + 1);
    files->whenDrained([&] { ++resumed; });
    queue->runUntilIdle();
    EXPECT_EQ(resumed, 0);
    io->runUntilIdle();
    queue->runUntilIdle();
    EXPECT_EQ(resumed, 1);
    EXPECT_FALSE(files->receivingBacklogged());
    // A wait that starts when the disk has caught up resumes at once.
    files->whenDrained([&] { ++resumed; });
    queue->runUntilIdle();
    EXPECT_EQ(resumed, 2);
    EXPECT_EQ(downloads->temporary.begin()->second.size(), sent * chunkBytes);
}

// ---- Sending ----

TEST_F(FileTransferTest, FilesGoOutInChunksOfAtMost64KiBOneInFlightAtATime) {
    reader->files["/tmp/empty"] = {};
    reader->files["/tmp/odd.bin"] = filled(65537);
    auto observer = std::make_shared<RecordingObserver>();
    files->sendFiles({"/tmp/empty", "/tmp/odd.bin"}, observer);
    run();
    // The empty file: begin and end, no chunk; then the first chunk of the next file waits
    // for its send to complete before the second is read.
    EXPECT_EQ(conn->pendingSendCount(), 4u);  // begin, end, begin, chunk
    EXPECT_THAT(chunkSizes(), ElementsAre(65536u));
    conn->completeSends(3);
    run();
    EXPECT_THAT(chunkSizes(), ElementsAre(65536u));
    conn->completeSends(1);
    run();
    EXPECT_THAT(chunkSizes(), ElementsAre(65536u, 1u));
    drainSends();
    std::vector<ControlMessage::Case> controls;
    for (const auto& s : sentFrames())
        if (s.kind == WireKind::control) controls.push_back(s.control);
    using C = ControlMessage::Case;
    EXPECT_THAT(controls, ElementsAre(C::fileBegin, C::fileEnd, C::fileBegin, C::fileEnd));
    EXPECT_THAT(statuses, ElementsAre("Sending file: empty…", "Sent: empty", "Sending file: odd.bin…", "Sent: odd.bin"));
    EXPECT_THAT(observer->events, ElementsAre("started empty 0", "sent empty", "started odd.bin 65537",
                                              "progress odd.bin 99", "progress odd.bin 100", "sent odd.bin"));
    EXPECT_THAT(progress, ElementsAre("", "↑99%", "↑100%", ""));
    EXPECT_FALSE(files->sending());
}

TEST_F(FileTransferTest, AChunkBacksOffAtMostFourTimesWhileVideoIsInFlight) {
    reader->files["/tmp/a"] = filled(10);
    videoInFlight = 2;
    files->sendFiles({"/tmp/a"});
    run();
    EXPECT_TRUE(chunkSizes().empty());
    for (int i = 0; i < 3; ++i) {
        queue->advance(FileTransfer::backOffStep);
        EXPECT_TRUE(chunkSizes().empty()) << "after " << i + 1 << " back-offs";
    }
    queue->advance(FileTransfer::backOffStep);  // the fourth wait ends: it goes regardless
    EXPECT_THAT(chunkSizes(), ElementsAre(10u));

    // Once video drains, a chunk goes at once.
    reader->files["/tmp/b"] = filled(3);
    videoInFlight = 1;
    drainSends();
    queue->advance(FileTransfer::backOffStep);  // the end of the file had begun to back off
    drainSends();
    EXPECT_FALSE(files->sending());
    files->sendFiles({"/tmp/b"});
    run();
    EXPECT_THAT(chunkSizes(), ElementsAre(10u, 3u));
}

TEST_F(FileTransferTest, ASendErrorInterruptsThatFileAndTheNextOneGoes) {
    reader->files["/tmp/one"] = filled(100000);
    reader->files["/tmp/two"] = filled(5);
    auto observer = std::make_shared<RecordingObserver>();
    files->sendFiles({"/tmp/missing", "/tmp/one", "/tmp/two"}, observer);
    run();
    conn->completeSends(1);  // fileBegin
    conn->completeSends(1, TransportError{TransportError::Kind::reset, 0, "reset"});
    run();
    drainSends();
    EXPECT_THAT(statuses, ElementsAre("Sending file: one…", "Send interrupted: one", "Sending file: two…", "Sent: two"));
    EXPECT_THAT(observer->events, ElementsAre("skipped /tmp/missing", "started one 100000", "progress one 65", "interrupted one",
                                              "started two 5", "progress two 100", "sent two"));
}

TEST_F(FileTransferTest, AReadErrorInterruptsWithoutClaimingTheFileIsWhole) {
    reader->files["/tmp/bad"] = filled(200000);
    reader->failingReads = "/tmp/bad";
    files->sendFiles({"/tmp/bad"});
    run();
    drainSends();
    for (const auto& s : sentFrames()) EXPECT_NE(s.control, ControlMessage::Case::fileEnd);
    EXPECT_EQ(statuses.back(), "Send interrupted: bad");
}

TEST_F(FileTransferTest, FilesQueuedWhileNoPhoneIsReadyOrAfterCloseAreDropped) {
    reader->files["/tmp/a"] = filled(10);
    auto observer = std::make_shared<RecordingObserver>();
    ready = false;
    files->sendFiles({"/tmp/a"}, observer);
    run();
    EXPECT_TRUE(conn->sends().empty());
    EXPECT_THAT(observer->events, ElementsAre("skipped /tmp/a"));

    // Closing mid-file: the sender stops without a word to the phone or the user.
    ready = true;
    reader->files["/tmp/big"] = filled(300000);
    files->sendFiles({"/tmp/big", "/tmp/a"}, observer);
    run();
    const size_t before = conn->sends().size();
    closed = true;
    files->sessionClosed();
    drainSends();
    EXPECT_EQ(conn->sends().size(), before);
    EXPECT_THAT(observer->events, ElementsAre("skipped /tmp/a", "started big 300000", "progress big 21", "skipped /tmp/a",
                                              "interrupted big"));
    EXPECT_EQ(statuses.back(), "Sending file: big…");
    EXPECT_EQ(progress.back(), "") << "no progress stays on show";
}

}  // namespace
}  // namespace df
