// The host's interface address list from getifaddrs. On Linux the link-layer entries are
// AF_PACKET (struct sockaddr_ll) rather than AF_LINK.

#include "platform/linux/netinfo/GetifaddrsList.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <ifaddrs.h>
#include <limits>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>

namespace df {
namespace {

class GetifaddrsList final : public InterfaceAddressList {
public:
    GetifaddrsList(std::filesystem::path sysClassNet, std::filesystem::path procNetRoute)
        : sysClassNet_(std::move(sysClassNet)), procNetRoute_(std::move(procNetRoute)) {}

    std::optional<std::string> defaultRouteInterface() const override {
        std::ifstream in(procNetRoute_);
        if (!in) return std::nullopt;
        std::stringstream text;
        text << in.rdbuf();
        return df::defaultRouteInterface(text.str());
    }

    std::optional<std::vector<InterfaceAddress>> read() const override {
        ifaddrs* head = nullptr;
        if (getifaddrs(&head) != 0) return std::nullopt;
        std::vector<InterfaceAddress> out;
        for (ifaddrs* i = head; i; i = i->ifa_next) {
            if (!i->ifa_addr || !i->ifa_name) continue;
            InterfaceAddress e;
            e.interfaceName = i->ifa_name;
            e.up = (i->ifa_flags & IFF_UP) != 0;
            e.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
            switch (i->ifa_addr->sa_family) {
            case AF_PACKET: {
                const auto* ll = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
                e.family = InterfaceAddress::Family::link;
                e.address.assign(ll->sll_addr, ll->sll_addr + std::min<size_t>(ll->sll_halen, sizeof ll->sll_addr));
                if (ll->sll_hatype == ARPHRD_ETHER) e.hardware = hardwareOf(e.interfaceName);
                break;
            }
            case AF_INET: {
                const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
                const auto* b = reinterpret_cast<const uint8_t*>(&in->sin_addr);
                e.family = InterfaceAddress::Family::ipv4;
                e.address.assign(b, b + 4);
                break;
            }
            case AF_INET6: {
                const auto* in6 = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
                e.family = InterfaceAddress::Family::ipv6;
                e.address.assign(in6->sin6_addr.s6_addr, in6->sin6_addr.s6_addr + 16);
                break;
            }
            default:
                break;
            }
            out.push_back(std::move(e));
        }
        freeifaddrs(head);
        return out;
    }

private:
    // Wi-Fi cards have a wireless directory (or their radio's link); other network cards a
    // device behind them. Bridges, virtual Ethernet pairs and the like have neither.
    InterfaceAddress::Hardware hardwareOf(const std::string& name) const {
        std::error_code ec;
        const auto dir = sysClassNet_ / name;
        if (std::filesystem::exists(dir / "wireless", ec) || std::filesystem::exists(dir / "phy80211", ec))
            return InterfaceAddress::Hardware::wifi;
        if (std::filesystem::exists(dir / "device", ec)) return InterfaceAddress::Hardware::ethernet;
        return InterfaceAddress::Hardware::other;
    }

    std::filesystem::path sysClassNet_;
    std::filesystem::path procNetRoute_;
};

}  // namespace

std::optional<std::string> defaultRouteInterface(std::string_view procNetRoute) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ..., numbers in hexadecimal
    // (Metric in decimal); the first line is the header.
    std::istringstream lines{std::string(procNetRoute)};
    std::string line;
    std::getline(lines, line);
    std::optional<std::string> best;
    unsigned long bestMetric = std::numeric_limits<unsigned long>::max();
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refCnt, use, metric, mask;
        if (!(fields >> iface >> destination >> gateway >> flags >> refCnt >> use >> metric >> mask)) continue;
        auto number = [](const std::string& t, int base) -> std::optional<unsigned long> {
            char* end = nullptr;
            unsigned long v = std::strtoul(t.c_str(), &end, base);
            if (end == t.c_str() || *end != '\0') return std::nullopt;
            return v;
        };
        auto dest = number(destination, 16), msk = number(mask, 16), fl = number(flags, 16), m = number(metric, 10);
        if (!dest || !msk || !fl || !m || *dest != 0 || *msk != 0 || !(*fl & RTF_UP)) continue;
        if (!best || *m < bestMetric) {
            best = iface;
            bestMetric = *m;
        }
    }
    return best;
}

std::shared_ptr<InterfaceAddressList> createGetifaddrsList(std::filesystem::path sysClassNet,
                                                           std::filesystem::path procNetRoute) {
    return std::make_shared<GetifaddrsList>(std::move(sysClassNet), std::move(procNetRoute));
}

}  // namespace df
