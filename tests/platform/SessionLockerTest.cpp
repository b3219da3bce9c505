// The session lock's commands, run for real through sh: one at a time, and without the
// agent's descriptors (sh may open some of its own; no socket of ours may be among them).
#include "platform/linux/input/SessionLocker.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace df {
namespace {

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(SessionLocker, AChordPressedAgainWhileTheLockRunsStartsNoSecondCommand) {
    testsupport::TempDir dir;
    const auto log = dir / "runs";
    SessionLocker locker({{"sh", "-c", "echo run >> '" + log.string() + "'; sleep 0.4"}});
    EXPECT_TRUE(locker.lock());
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(locker.lock());
    // Once the command has finished, the next chord locks again.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool again = false;
    while (!again && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (contents(log) == "run\n") again = locker.lock();
    }
    EXPECT_TRUE(again);
    EXPECT_EQ(contents(log).substr(0, 4), "run\n");
    while (locker.lock() == false && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(contents(log), "run\nrun\nrun\n");
}

TEST(SessionLocker, TheCommandInheritsNoDescriptorBeyondTheStandardOnes) {
    testsupport::TempDir dir;
    const auto listing = dir / "fds";
    // A listening socket opened without close-on-exec, as a library might.
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(socket, 3);
    ASSERT_EQ(::listen(socket, 1), 0);
    ASSERT_TRUE(SessionLocker::runUntilOneSucceeds({{"sh", "-c", "ls -l /proc/$$/fd > '" + listing.string() + "'"}}));
    ::close(socket);
    const std::string seen = contents(listing);
    EXPECT_NE(seen.find(" 2 -> "), std::string::npos) << seen;  // the command did list its descriptors
    EXPECT_EQ(seen.find("socket:"), std::string::npos) << seen;
}

}  // namespace
}  // namespace df
