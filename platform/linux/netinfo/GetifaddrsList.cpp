// The host's interface address list from getifaddrs. On Linux the link-layer entries are
// AF_PACKET (struct sockaddr_ll) rather than AF_LINK.

#include "platform/linux/netinfo/GetifaddrsList.h"

#include <algorithm>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace df {
namespace {

class GetifaddrsList final : public InterfaceAddressList {
public:
    std::optional<std::vector<InterfaceAddress>> read() const override {
        ifaddrs* head = nullptr;
        if (getifaddrs(&head) != 0) return std::nullopt;
        std::vector<InterfaceAddress> out;
        for (ifaddrs* i = head; i; i = i->ifa_next) {
            if (!i->ifa_addr || !i->ifa_name) continue;
            InterfaceAddress e;
            e.interfaceName = i->ifa_name;
            switch (i->ifa_addr->sa_family) {
            case AF_PACKET: {
                const auto* ll = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
                e.family = InterfaceAddress::Family::link;
                e.address.assign(ll->sll_addr, ll->sll_addr + std::min<size_t>(ll->sll_halen, sizeof ll->sll_addr));
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
};

}  // namespace

std::shared_ptr<InterfaceAddressList> createGetifaddrsList() {
    return std::make_shared<GetifaddrsList>();
}

}  // namespace df
