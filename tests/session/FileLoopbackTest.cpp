// Files both ways between the real agent server and the reference phone client over
// loopback, with the phone's media channel over TCP and over QUIC: every file arrives byte
// for byte (SHA-256), and a full disk fails the transfer cleanly while the session goes on.

#include "tests/session/FileLoopback.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>

#include <csignal>

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

}  // namespace
}  // namespace df
