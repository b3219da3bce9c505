#pragma once
// The host's interface address list (getifaddrs) and the two address rules the agent
// derives from it: the overlay-network (Tailscale) IPv4 address shown to the user and the
// primary hardware address sent for wake-on-LAN. The host's list comes from
// platform/linux/netinfo; tests use fake::FakeInterfaceAddressList. Any thread.

#include "protocol/Bytes.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace df {

struct InterfaceAddress {
    enum class Family { link, ipv4, ipv6, other };
    /// What carries a link entry: a network card's Ethernet or Wi-Fi, or anything else
    /// (bridges, virtual Ethernet pairs, tunnels, loopback), which wakes no computer.
    enum class Hardware { ethernet, wifi, other };
    std::string interfaceName;
    Family family = Family::other;
    /// Link: the hardware address bytes; IPv4: 4 bytes; IPv6: 16 bytes; other: empty.
    Bytes address;
    /// The interface's flags (IFF_UP, IFF_LOOPBACK), the same on each of its entries.
    bool up = true;
    bool loopback = false;
    /// Link entries only.
    Hardware hardware = Hardware::other;
};

class InterfaceAddressList {
public:
    virtual ~InterfaceAddressList() = default;
    /// Every entry in the host's order; nothing when the list cannot be read.
    virtual std::optional<std::vector<InterfaceAddress>> read() const = 0;
    /// The interface of the default IPv4 route (of the lowest metric when there are
    /// several); nothing when there is none or the routes cannot be read.
    virtual std::optional<std::string> defaultRouteInterface() const = 0;
};

namespace NetInfo {

/// The first IPv4 address in 100.64.0.0/10 (the overlay network's shared address space),
/// dotted-decimal; nothing when there is none.
std::optional<std::string> tailscaleIPv4(const InterfaceAddressList& list);

/// The address shown as the local network address: the first IPv4 address that is neither
/// loopback (127.) nor link-local (169.254.). Nothing when there is none.
std::optional<std::string> lanIPv4(const InterfaceAddressList& list);

/// The wake-on-LAN address, "aa:bb:cc:dd:ee:ff" in lower case: the hardware address of the
/// default IPv4 route's interface, else of the first interface that is up, not loopback, and
/// an Ethernet or Wi-Fi card. A hardware address counts when it is 6 bytes and not all zero.
/// Nothing when none qualifies.
std::optional<std::string> primaryMACAddress(const InterfaceAddressList& list);

/// The host's name (the advertised instance name); "Mac" when the host has none.
std::string hostName();

}  // namespace NetInfo
}  // namespace df
