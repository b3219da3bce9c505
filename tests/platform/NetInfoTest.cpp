// The wake-on-LAN address rule on a scripted address list, the default route read from the
// kernel's route table text, and the host's own list.
#include "platform/NetInfo.h"
#include "platform/fake/netinfo/FakeInterfaceAddressList.h"
#include "platform/linux/netinfo/GetifaddrsList.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace df {
namespace {

using L = fake::FakeInterfaceAddressList;
using Hw = InterfaceAddress::Hardware;

InterfaceAddress flagged(InterfaceAddress e, bool up, bool loopback) {
    e.up = up;
    e.loopback = loopback;
    return e;
}

TEST(WakeOnLanAddress, DefaultRouteCardElseFirstUpEthernetOrWifiCard) {
    const Bytes eth{0x02, 0, 0, 0, 0, 0x01}, wlan{0x02, 0, 0, 0, 0, 0x02}, bridge{0x02, 0, 0, 0, 0, 0x03},
        other{0x02, 0, 0, 0, 0, 0x04};
    struct Case {
        const char* what;
        std::vector<InterfaceAddress> entries;
        std::optional<std::string> defaultRoute;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases{
        {"the default route's card wins over an earlier one",
         {L::link("eth0", eth), L::link("wlp2s0", wlan, Hw::wifi)}, "wlp2s0", "02:00:00:00:00:02"},
        {"a default route through a bridge still names the bridge's address",
         {L::link("eth0", eth), L::link("br0", bridge, Hw::other)}, "br0", "02:00:00:00:00:03"},
        {"a default route through a tunnel (no hardware address) falls back to the cards",
         {L::link("tun0", {}, Hw::other), L::link("enp3s0", eth)}, "tun0", "02:00:00:00:00:01"},
        {"no default route: names need not begin with en",
         {L::link("lo", {0, 0, 0, 0, 0, 0}, Hw::other), L::link("eth0", eth), L::link("en1", other)}, std::nullopt,
         "02:00:00:00:00:01"},
        {"Wi-Fi counts as much as Ethernet", {L::link("wlan0", wlan, Hw::wifi), L::link("eth0", eth)}, std::nullopt,
         "02:00:00:00:00:02"},
        {"down, loopback and virtual interfaces are skipped",
         {flagged(L::link("eth0", eth), false, false), flagged(L::link("lo", other), true, true),
          L::link("docker0", bridge, Hw::other), L::link("veth1a2b", other, Hw::other),
          L::link("wlp2s0", wlan, Hw::wifi)},
         std::nullopt, "02:00:00:00:00:02"},
        {"all-zero and non-6-byte addresses are no addresses",
         {L::link("eth0", {0, 0, 0, 0, 0, 0}), L::link("ib0", {1, 2, 3, 4, 5, 6, 7, 8}), L::link("eth1", eth)},
         "eth0", "02:00:00:00:00:01"},
        {"no card at all", {L::link("docker0", bridge, Hw::other), L::ipv4("eth0", 10, 0, 0, 1)}, std::nullopt,
         std::nullopt},
    };
    for (const auto& c : cases) {
        L list;
        list.entries = c.entries;
        list.defaultRoute = c.defaultRoute;
        EXPECT_EQ(NetInfo::primaryMACAddress(list), c.expected) << c.what;
    }
    L unreadable;
    unreadable.defaultRoute = "eth0";
    EXPECT_EQ(NetInfo::primaryMACAddress(unreadable), std::nullopt);
}

TEST(WakeOnLanAddress, DefaultRouteFromTheKernelRouteTable) {
    const std::string header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    struct Case {
        const char* what;
        std::string rows;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases{
        {"one default route", "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
                              "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n",
         "eth0"},
        {"the lowest metric wins", "wlp2s0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                                   "enp3s0\t00000000\t0100000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
         "enp3s0"},
        {"a route that is not up does not count", "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n",
         std::nullopt},
        {"only local networks", "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", std::nullopt},
        {"garbage lines are skipped", "eth0 zz\n\nwlan0\t00000000\t0101A8C0\t0003\t0\t0\t5\t00000000\t0\t0\t0\n",
         "wlan0"},
    };
    for (const auto& c : cases) EXPECT_EQ(defaultRouteInterface(header + c.rows), c.expected) << c.what;
    EXPECT_EQ(defaultRouteInterface(""), std::nullopt);
}

TEST(WakeOnLanAddress, TheHostListReportsFlagsAndReadsTheGivenRouteTable) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("df-netinfo-" + std::to_string(getpid()));
    fs::create_directories(dir / "net");
    std::ofstream(dir / "route") << "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\n"
                                 << "lo\t00000000\t00000000\t0001\t0\t0\t0\t00000000\n";
    auto list = createGetifaddrsList(dir / "net", dir / "route");
    EXPECT_EQ(list->defaultRouteInterface(), "lo");
    auto entries = list->read();
    ASSERT_TRUE(entries);
    bool sawLoopback = false;
    for (const auto& e : *entries) {
        if (e.interfaceName != "lo") continue;
        sawLoopback = true;
        EXPECT_TRUE(e.up && e.loopback);
        EXPECT_EQ(e.hardware, Hw::other);
    }
    EXPECT_TRUE(sawLoopback);
    EXPECT_EQ(createGetifaddrsList(dir / "net", dir / "missing")->defaultRouteInterface(), std::nullopt);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace df
