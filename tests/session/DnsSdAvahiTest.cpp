// DNS-SD over the real Avahi daemon (scripts/test-services.sh starts one restricted to the
// loopback interface): the server's advertisement resolves with `avahi-browse` to the
// listener's port and the TXT entries, and a name conflict takes Avahi's alternative name.
// Skipped without a running daemon or avahi-browse, failed under CI=true.

#include "DuskFerryAgent/session/AgentServer.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "platform/SerialQueue.h"
#include "platform/linux/dnssd/AvahiAdvertiser.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "tests/session/SessionTestSupport.h"
#include "tests/support/RequireService.h"

#include <array>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace df {
namespace {

using namespace std::chrono_literals;

bool avahiAvailable() {
    return std::system("avahi-daemon --check >/dev/null 2>&1") == 0 && testsupport::haveTool("avahi-browse");
}

std::string run(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    ::pclose(p);
    return out;
}

/// A name as the parsable output of avahi-browse writes it: characters other than letters,
/// digits, "-" and "_" as a backslash and three decimal digits ("a #2" is "a\032\0352").
std::string browseEscaped(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-' || c == '_') {
            out += static_cast<char>(c);
        } else {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\%03u", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out;
}

/// The resolved ("=") line of `avahi-browse -rtp` for the instance, or empty.
std::string resolvedLine(const std::string& name) {
    const std::string instance = browseEscaped(name);
    for (int attempt = 0; attempt < 20; ++attempt) {
        // A resolver can wait on a service that another test is just withdrawing, and
        // avahi-browse -t waits for every resolver: bound it, and try again.
        std::string out = run("timeout 5 avahi-browse -rtp _duskferry._tcp 2>/dev/null");
        size_t pos = 0;
        while (pos < out.size()) {
            size_t end = out.find('\n', pos);
            std::string line = out.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            if (line.rfind("=;", 0) == 0 && line.find(";" + instance + ";") != std::string::npos) return line;
            if (end == std::string::npos) break;
            pos = end + 1;
        }
        std::this_thread::sleep_for(250ms);
    }
    return {};
}

TEST(DnsSdAvahiTest, ServerAdvertisementResolvesToTheListenerPortWithTxtEntries) {
    DF_REQUIRE_SERVICE(avahiAvailable(), "a running avahi-daemon with avahi-browse");
    const std::string instance = "df-agent-" + std::to_string(::getpid());
    std::mutex mutex;
    std::vector<std::string> statuses;
    ServerServices s;
    s.queue = SerialQueue::create("duskferry.server");
    s.transport = makeLinuxTransportFactory();
    s.advertiser = createAvahiAdvertiser();
    s.session.agentName = instance;
    s.session.macDeviceID = "0A1B2C3D-ID";
    s.session.l10n = std::make_shared<L10n>(std::vector<std::string>{"en"});
    s.deviceKind = "macmini";
    s.tcpPort = 0;  // advertised once bound
    s.bindHost = "127.0.0.1";
    auto queue = s.queue;
    auto server = AgentServer::create("111111", [&](const std::string& t) {
        std::lock_guard lock(mutex);
        statuses.push_back(t);
    }, s);
    server->start();
    std::optional<uint16_t> port;
    for (int i = 0; i < 200 && !port; ++i) {
        queue->sync([&] { port = server->tcpPort(); });
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(port.has_value());

    std::string line = resolvedLine(instance);
    ASSERT_FALSE(line.empty()) << run("timeout 5 avahi-browse -rtp _duskferry._tcp 2>&1");
    // =;lo;IPv4;<instance>;_duskferry._tcp;local;<host>;<address>;<port>;"id=..." "kind=..."
    EXPECT_NE(line.find(";" + std::to_string(*port) + ";"), std::string::npos) << line;
    EXPECT_NE(line.find("\"kind=macmini\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"id=0A1B2C3D-ID\""), std::string::npos) << line;
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(statuses, std::vector<std::string>{"Waiting for connection…"});  // no DNS-SD complaint
    }
    s.advertiser.reset();
    queue->sync([&] { server.reset(); });
    // Withdrawn with the server.
    bool withdrawn = false;
    for (int i = 0; i < 20 && !withdrawn; ++i) {
        std::this_thread::sleep_for(250ms);
        withdrawn = run("avahi-browse -tp _duskferry._tcp 2>/dev/null").find(instance) == std::string::npos;
    }
    EXPECT_TRUE(withdrawn);
}

TEST(DnsSdAvahiTest, NameConflictTakesTheAlternativeName) {
    DF_REQUIRE_SERVICE(avahiAvailable(), "a running avahi-daemon with avahi-browse");
    const std::string instance = "df-conflict-" + std::to_string(::getpid());
    DnsSdService service{instance, "_duskferry._tcp", 40001, AgentServer::txtRecord({{"kind", "mac"}})};

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::pair<DnsSdAdvertiser::Event, std::string>> events;
    auto record = [&](DnsSdAdvertiser::Event e, const std::string& detail) {
        std::lock_guard lock(mutex);
        events.emplace_back(e, detail);
        cv.notify_all();
    };
    auto registeredAs = [&](const std::string& name) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 5s, [&] {
            for (auto& [e, d] : events) {
                if (e == DnsSdAdvertiser::Event::registered && d == name) return true;
            }
            return false;
        });
    };
    auto first = createAvahiAdvertiser();
    first->advertise(service, record);
    ASSERT_TRUE(registeredAs(instance));
    auto second = createAvahiAdvertiser();
    service.port = 40002;
    second->advertise(service, record);
    ASSERT_TRUE(registeredAs(instance + " #2"));
    std::string line = resolvedLine(instance + " #2");
    EXPECT_NE(line.find(";40002;"), std::string::npos) << line;
}

TEST(DnsSdAvahiTest, AWithdrawnServiceLeavesTheNetworkAndCanBePublishedAgain) {
    DF_REQUIRE_SERVICE(avahiAvailable(), "a running avahi-daemon with avahi-browse");
    const std::string instance = "df-withdraw-" + std::to_string(::getpid());
    DnsSdService service{instance, "_duskferry._tcp", 40003, AgentServer::txtRecord({{"kind", "mac"}})};
    std::mutex mutex;
    std::condition_variable cv;
    int registered = 0;
    auto record = [&](DnsSdAdvertiser::Event e, const std::string&) {
        std::lock_guard lock(mutex);
        if (e == DnsSdAdvertiser::Event::registered) ++registered;
        cv.notify_all();
    };
    auto waitRegistered = [&](int count) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 5s, [&] { return registered >= count; });
    };
    auto listed = [&] { return run("timeout 5 avahi-browse -tp _duskferry._tcp 2>/dev/null").find(browseEscaped(instance)) != std::string::npos; };
    auto advertiser = createAvahiAdvertiser();
    advertiser->advertise(service, record);
    ASSERT_TRUE(waitRegistered(1));
    EXPECT_TRUE(listed());
    advertiser->withdraw();
    bool gone = false;
    for (int i = 0; i < 20 && !gone; ++i) {
        std::this_thread::sleep_for(250ms);
        gone = !listed();
    }
    EXPECT_TRUE(gone);
    advertiser->advertise(service, record);
    ASSERT_TRUE(waitRegistered(2));
    EXPECT_NE(resolvedLine(instance).find(";40003;"), std::string::npos);
}

}  // namespace
}  // namespace df
