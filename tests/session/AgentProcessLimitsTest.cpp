// The agent program, started with a low soft limit on open files, takes the hard limit for
// itself: a crowd of idle connections must not run it out of descriptors at 1024.
#include "tests/support/AgentProcess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace df {
namespace {

/// "Max open files" of process `pid`: soft and hard.
std::pair<std::string, std::string> openFileLimits(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Max open files", 0) != 0) continue;
        std::istringstream fields(line.substr(std::string("Max open files").size()));
        std::string soft, hard;
        fields >> soft >> hard;
        return {soft, hard};
    }
    return {};
}

TEST(AgentProcess, RaisesItsSoftOpenFileLimitToTheHardLimitAtStart) {
    testsupport::TempDir home;
    testsupport::AgentProcess agent(DF_AGENT_BIN, {"prlimit", "--nofile=256:4096", "--"}, home.path(),
                                    testsupport::freePort(SOCK_STREAM), testsupport::freePort(SOCK_DGRAM), false, "");
    ASSERT_TRUE(agent.waitForCode());
    EXPECT_EQ(openFileLimits(agent.pid()), std::make_pair(std::string("4096"), std::string("4096")));
}

}  // namespace
}  // namespace df
