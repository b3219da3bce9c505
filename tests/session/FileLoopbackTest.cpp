// Files both ways between the real agent server and the reference phone client over
// loopback, with the phone's media channel over TCP and over QUIC: every file arrives byte
// for byte (SHA-256), and a full disk fails the transfer cleanly while the session goes on.

#include "DuskFerryAgent/session/PhoneFileSender.h"
#include "platform/linux/command/UnixCommandSocket.h"
#include "tests/session/FileLoopback.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>

#include <sys/wait.h>

#include <csignal>
#include <cstdio>

namespace df {
namespace {

namespace fs = std::filesystem;
using testsupport::FileLoopback;
using testsupport::sha256File;

/// The large file of the test; the benchmark moves 1 GiB.
constexpr uint64_t kLarge = 48ull << 20;

class FileLoopbackTest : public ::testing::TestWithParam<bool> {
protected:
    testsupport::TempDir dir;
    fs::path downloads = dir / "Downloads";
    fs::path phoneDownloads = dir / "phone-downloads";
    fs::path source = dir / "source";
};

std::vector<std::string> leftovers(const fs::path& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.path().filename().string().starts_with(".")) out.push_back(e.path().filename().string());
    return out;
}

TEST_P(FileLoopbackTest, FilesArriveByteForByteBothWays) {
    const bool quic = GetParam();
    fs::create_directories(source);
    const std::vector<uint64_t> sizes = {0, 1, 65535, 65536, 65537, kLarge};
    std::vector<fs::path> files;
    for (uint64_t size : sizes) {
        files.push_back(source / ("size-" + std::to_string(size) + ".bin"));
        testsupport::writeRandomFile(files.back(), size, size + 7);
    }
    FileLoopback loop(downloads);
    ASSERT_TRUE(loop.startServer());
    ASSERT_TRUE(loop.startPhone(quic, phoneDownloads));

    for (const auto& f : files) loop.phoneSends(f);
    ASSERT_TRUE(loop.waitForStatus("Received: ", files.size(), 120));
    for (const auto& f : files) {
        SCOPED_TRACE(f.filename().string());
        EXPECT_EQ(sha256File(downloads / f.filename()), sha256File(f));
        EXPECT_EQ(FileLoopback::count(loop.statuses(), "Received: " + f.filename().string() + " → Downloads"), 1u);
    }
    EXPECT_TRUE(leftovers(downloads).empty());

    ASSERT_TRUE(loop.agentSends(files));
    ASSERT_TRUE(loop.waitForLine("fileReceived name=", files.size(), 120));
    for (const auto& f : files) {
        SCOPED_TRACE(f.filename().string());
        EXPECT_EQ(sha256File(phoneDownloads / f.filename()), sha256File(f));
        EXPECT_EQ(FileLoopback::count(loop.lines(), "fileReceived name=\"" + f.filename().string() + "\" ok=true"), 1u);
        EXPECT_EQ(FileLoopback::count(loop.statuses(), "Sent: " + f.filename().string()), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Media, FileLoopbackTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "QUIC" : "TCP"; });

/// A Downloads folder with room for about 1 MiB: a small file system of its own when the
/// test may mount one, else a limit on the size of files this process writes.
class SmallDisk {
public:
    explicit SmallDisk(const fs::path& folder) : folder_(folder) {
        fs::create_directories(folder_);
        if (::mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0755") == 0) {
            mounted_ = true;
            return;
        }
        // A write past the limit then fails with EFBIG instead of ending the process.
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit small = saved_;
        small.rlim_cur = 1 << 20;
        ::setrlimit(RLIMIT_FSIZE, &small);
    }
    ~SmallDisk() {
        if (mounted_) {
            ::umount2(folder_.c_str(), MNT_DETACH);
        } else {
            ::setrlimit(RLIMIT_FSIZE, &saved_);
        }
    }
    bool mounted() const { return mounted_; }

private:
    fs::path folder_;
    bool mounted_ = false;
    rlimit saved_{};
};

TEST(FileLoopbackDiskFull, AFullDiskFailsTheTransferCleanlyAndTheNextOneArrives) {
    testsupport::TempDir dir;
    const fs::path downloads = dir / "Downloads";
    const fs::path big = dir / "big.bin";
    const fs::path small = dir / "small.bin";
    testsupport::writeRandomFile(big, 3 << 20, 1);
    testsupport::writeRandomFile(small, 100000, 2);
    SmallDisk disk(downloads);
    std::cerr << (disk.mounted() ? "a 1 MiB tmpfs as Downloads\n" : "a 1 MiB file size limit\n");

    FileLoopback loop(downloads);
    ASSERT_TRUE(loop.startServer());
    ASSERT_TRUE(loop.startPhone(false, dir / "phone-downloads"));
    const size_t endsBefore = FileLoopback::count(loop.statuses(), "Waiting for connection");
    loop.phoneSends(big);
    ASSERT_TRUE(loop.waitForStatus("Receive failed: big.bin is incomplete, please resend", 1, 60));
    loop.phoneSends(small);
    ASSERT_TRUE(loop.waitForStatus("Received: small.bin → Downloads", 1, 60));
    EXPECT_EQ(sha256File(downloads / "small.bin"), sha256File(small));
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(downloads)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"small.bin"});
    EXPECT_EQ(FileLoopback::count(loop.statuses(), "Waiting for connection"), endsBefore) << "the session went on";
    loop.stop();
}

/// Runs `duskferry-agent send FILES...` with `runtime` as its runtime folder: (exit status,
/// standard output and error).
std::pair<int, std::string> runSend(const fs::path& runtime, const std::vector<fs::path>& files) {
    std::string command = "XDG_RUNTIME_DIR='" + runtime.string() + "' '" DF_AGENT_BIN "' send";
    for (const auto& f : files) command += " '" + f.string() + "'";
    command += " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(FileLoopbackSendCommand, TheSendCommandReachesThePhoneOrSaysWhyNot) {
    testsupport::TempDir dir;
    const fs::path runtime = dir / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    const fs::path socket = runtime / "duskferry" / "agent.sock";
    const fs::path file = dir / "photo.jpg";
    testsupport::writeRandomFile(file, 300000, 3);

    auto [status, out] = runSend(runtime, {file});
    EXPECT_EQ(status, 3) << out;
    EXPECT_NE(out.find("no agent is running"), std::string::npos) << out;

    FileLoopback loop(dir / "Downloads");
    ASSERT_TRUE(loop.startServer());
    auto commandQueue = SerialQueue::create("duskferry.agent.command");
    std::mutex statusMutex;  // written on the command queue, read here
    std::vector<std::string> senderStatuses;
    auto server = loop.server;
    auto sender = std::make_shared<PhoneFileSender>(
        [server, queue = loop.serverQueue] {
            std::shared_ptr<FileTransfer> files;
            queue->sync([&] {
                auto s = server->session();
                if (s && s->authState() == AgentSession::AuthState::authed && !s->isClosed()) files = s->fileTransfer();
            });
            return files;
        },
        [&](const std::string& t) {
            std::lock_guard lock(statusMutex);
            senderStatuses.push_back(t);
        },
        std::make_shared<L10n>(std::vector<std::string>{"en"}));
    auto commands = startUnixCommandServer(commandQueue, socket, [sender](auto request, auto reply) {
        sender->handleCommand(request, reply);
    });
    ASSERT_TRUE(commands.ok()) << commands.error();
    EXPECT_EQ(fs::status(socket).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(socket.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);

    std::tie(status, out) = runSend(runtime, {file});
    EXPECT_EQ(status, 4) << out;
    EXPECT_NE(out.find("no phone is connected"), std::string::npos) << out;
    {
        std::lock_guard lock(statusMutex);
        EXPECT_EQ(senderStatuses, std::vector<std::string>{"No iPhone connected"});
    }

    ASSERT_TRUE(loop.startPhone(false, dir / "phone-downloads"));
    std::tie(status, out) = runSend(runtime, {file, dir / "missing.txt"});
    EXPECT_EQ(status, 1) << out;  // one of the two was not sent
    EXPECT_NE(out.find("Sending photo.jpg (300000 bytes)"), std::string::npos) << out;
    EXPECT_NE(out.find("photo.jpg: 100%"), std::string::npos) << out;
    EXPECT_NE(out.find("Sent: photo.jpg"), std::string::npos) << out;
    EXPECT_NE(out.find("Not sent: " + (dir / "missing.txt").string()), std::string::npos) << out;
    ASSERT_TRUE(loop.waitForLine("fileReceived name=\"photo.jpg\" ok=true", 1, 30));
    EXPECT_EQ(sha256File(dir / "phone-downloads" / "photo.jpg"), sha256File(file));

    (*commands)->stop();
    EXPECT_FALSE(fs::exists(socket));
    loop.stop();
    commandQueue->shutdown();
}

}  // namespace
}  // namespace df
