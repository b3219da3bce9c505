#pragma once
// A scripted interface address list for unit tests.

#include "platform/NetInfo.h"

namespace df::fake {

class FakeInterfaceAddressList final : public InterfaceAddressList {
public:
    /// Nothing makes read() fail, as when the host list cannot be read.
    std::optional<std::vector<InterfaceAddress>> entries;
    /// The default IPv4 route's interface; nothing: no default route.
    std::optional<std::string> defaultRoute;

    std::optional<std::vector<InterfaceAddress>> read() const override { return entries; }
    std::optional<std::string> defaultRouteInterface() const override { return defaultRoute; }

    /// An Ethernet card's link entry, up; adjust the flags and hardware on the result.
    static InterfaceAddress link(std::string name, Bytes mac,
                                 InterfaceAddress::Hardware hardware = InterfaceAddress::Hardware::ethernet) {
        InterfaceAddress e{std::move(name), InterfaceAddress::Family::link, std::move(mac)};
        e.hardware = hardware;
        return e;
    }
    static InterfaceAddress ipv4(std::string name, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
        return {std::move(name), InterfaceAddress::Family::ipv4, Bytes{a, b, c, d}};
    }
};

}  // namespace df::fake
