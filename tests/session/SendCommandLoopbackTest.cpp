// `duskferry-agent send FILE...`, the program itself, against a command socket served as the
// agent serves it: it says when no agent runs or no phone is connected, and otherwise hands the
// files to the connected reference phone with progress. Apart from the other file tests, which
// run under ThreadSanitizer too, as it needs the whole agent program built.

#include "DuskFerryAgent/session/PhoneFileSender.h"
#include "platform/linux/command/UnixCommandSocket.h"
#include "tests/session/FileLoopback.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

namespace df {
namespace {

namespace fs = std::filesystem;
using testsupport::FileLoopback;
using testsupport::sha256File;

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

TEST(SendCommandLoopback, TheSendCommandReachesThePhoneOrSaysWhyNot) {
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
