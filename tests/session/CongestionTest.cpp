// Congestion for real: the agent program in a network namespace of its own, its screen (a
// private Xvfb kept in full motion) streamed over TCP media through a veth pair to the
// reference phone client. A 5 Mbit/s token bucket on the agent's side makes the controller
// cut the bit rate to its floor and then lower the resolution tier, while the phone keeps
// receiving and decoding; once the limit is lifted the tier climbs back.
// Needs root (namespaces, tc); skipped otherwise, failed under CI=true.

#include "platform/SerialQueue.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "tests/support/AgentProcess.h"
#include "tests/support/NetworkNamespace.h"
#include "tests/support/PrivateXvfb.h"
#include "tests/support/RequireService.h"
#include "tests/support/ScreenMotion.h"
#include "tests/support/TempDir.h"
#include "tools/phone/IdentityStore.h"
#include "tools/phone/PhoneClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace df {
namespace {

using namespace std::chrono_literals;

/// The value of `key=` in a line.
std::optional<std::string> field(const std::string& line, const std::string& key) {
    std::istringstream words(line);
    for (std::string word; words >> word;)
        if (word.starts_with(key + "=")) return word.substr(key.size() + 1);
    return std::nullopt;
}

TEST(CongestionTest, RateThenTierGoDownUnderALimitAndTheTierClimbsBackWhenItIsLifted) {
    DF_REQUIRE_SERVICE(::geteuid() == 0, "root (network namespaces and tc)");
    DF_REQUIRE_TOOL("Xvfb");
    DF_REQUIRE_TOOL("tc");
    const testsupport::Size size{1280, 720};
    testsupport::Xvfb xvfb(size);
    ASSERT_FALSE(xvfb.name().empty()) << "Xvfb did not start";
    testsupport::NetworkNamespace ns(false);
    ASSERT_TRUE(ns.ok()) << "no namespace with a veth pair";
    testsupport::TempDir home;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> statuses;
    std::vector<std::string> stats;  // the phone's per-second lines
    std::optional<std::string> totals;
    const uint16_t port = 52525;  // the namespace is the agent's alone
    testsupport::AgentProcess agent(DF_AGENT_BIN, {"ip", "netns", "exec", ns.name()}, home.path(), port, 52526,
                                    false, xvfb.name(), [&](const std::string& line) {
                                        std::lock_guard lock(mutex);
                                        statuses.push_back(line);
                                        changed.notify_all();
                                    });
    auto code = agent.waitForCode();
    ASSERT_TRUE(code.has_value());
    for (int i = 0; i < 500 && !testsupport::tcpAccepts(port, ns.address().c_str()); ++i)
        std::this_thread::sleep_for(10ms);

    phone::IdentityStore store(home / "phone");
    auto identity = store.loadOrCreate("Congested Phone");
    ASSERT_TRUE(identity.ok());
    phone::PhoneOptions options;
    options.agent = {ns.address(), port};
    options.code = *code;
    // More than the tier caps ask for (60 fps), so that a lower tier changes the stream.
    options.quality = QualityRequest(60, 20, 1280, true);
    options.media = phone::MediaMode::tcp;
    options.stats = true;
    options.hasScript = true;
    auto queue = SerialQueue::create("duskferry.phone");
    std::optional<phone::ExitStatus> exitStatus;
    agent.approveNext();
    auto client = phone::PhoneClient::create(
        options, *identity, store, queue, makeLinuxTransportFactory(),
        [&](const std::string& line) {
            std::lock_guard lock(mutex);
            if (line.starts_with("stats ")) stats.push_back(line);
            if (line.starts_with("total ")) totals = line;
            changed.notify_all();
        },
        [](const std::string&) {},
        [&](phone::ExitStatus status, const std::string&) {
            std::lock_guard lock(mutex);
            exitStatus = status;
            changed.notify_all();
        });
    client->start();
    testsupport::ScreenMotion motion(xvfb.name(), size);

    auto statusSeen = [&](const std::string& text) {
        return std::ranges::any_of(statuses, [&](const auto& s) { return s.find(text) != std::string::npos; });
    };
    auto kbpsFrom = [&](size_t first) {
        double sum = 0;
        for (size_t i = first; i < stats.size(); ++i) sum += std::stod(field(stats[i], "video_kbps").value_or("0"));
        return stats.size() > first ? sum / static_cast<double>(stats.size() - first) : 0.0;
    };
    double clearKbps = 0;
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return stats.size() >= 6 || exitStatus; }));
        ASSERT_FALSE(exitStatus);
        clearKbps = kbpsFrom(2);
    }
    // 5 Mbit/s, or half of what the clear link carried where the agent encodes less than that
    // (an instrumented build on a busy machine): the limit must bite either way.
    const int limitKbps = static_cast<int>(std::min(5000.0, clearKbps / 2));
    ASSERT_GE(limitKbps, 500) << "the clear link carried only " << clearKbps << " kbit/s";
    ASSERT_TRUE(ns.limit(std::to_string(limitKbps) + "kbit"));
    size_t limitedFrom = 0;
    {
        std::unique_lock lock(mutex);
        limitedFrom = stats.size();
        // The tier goes down only once the bit rate has sat at its floor.
        EXPECT_TRUE(changed.wait_for(lock, 60s, [&] {
            return statusSeen("Network congested, lowering resolution to stay smooth") || exitStatus;
        }));
        ASSERT_FALSE(exitStatus);
    }
    std::this_thread::sleep_for(5s);
    {
        std::lock_guard lock(mutex);
        // The stream went on through the limit: after the first seconds of the queue
        // draining, no second without decoded pictures.
        for (size_t i = limitedFrom + 5; i < stats.size(); ++i)
            EXPECT_NE(field(stats[i], "decoded_fps"), "0") << stats[i];
    }

    ASSERT_TRUE(ns.lift());
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, 120s, [&] {
            return statusSeen("Network recovered, raising quality tier") || exitStatus;
        }));
        ASSERT_FALSE(exitStatus);
    }
    motion.stop();
    client->stop();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return totals.has_value(); }));
        EXPECT_EQ(field(*totals, "bad_frames"), "0") << *totals;
        EXPECT_EQ(field(*totals, "pictures"), field(*totals, "frames")) << "every frame decodes: " << *totals;
    }
    queue->stop();
}

}  // namespace
}  // namespace df
