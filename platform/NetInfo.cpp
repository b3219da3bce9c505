#include "platform/NetInfo.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace df::NetInfo {
namespace {

std::string dotted(const Bytes& a) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

bool isOverlay(const Bytes& a) { return a[0] == 100 && a[1] >= 64 && a[1] <= 127; }

}  // namespace

std::optional<std::string> tailscaleIPv4(const InterfaceAddressList& list) {
    auto entries = list.read();
    if (!entries) return std::nullopt;
    for (const auto& e : *entries) {
        if (e.family == InterfaceAddress::Family::ipv4 && e.address.size() == 4 && isOverlay(e.address)) {
            return dotted(e.address);
        }
    }
    return std::nullopt;
}

std::optional<std::string> lanIPv4(const InterfaceAddressList& list) {
    auto entries = list.read();
    if (!entries) return std::nullopt;
    for (const auto& e : *entries) {
        if (e.family != InterfaceAddress::Family::ipv4 || e.address.size() != 4) continue;
        if (e.address[0] == 127 || (e.address[0] == 169 && e.address[1] == 254)) continue;
        return dotted(e.address);
    }
    return std::nullopt;
}

std::optional<std::string> primaryMACAddress(const InterfaceAddressList& list) {
    auto entries = list.read();
    if (!entries) return std::nullopt;
    auto usable = [](const InterfaceAddress& e) {
        if (e.family != InterfaceAddress::Family::link || e.address.size() != 6) return false;
        return std::ranges::any_of(e.address, [](uint8_t b) { return b != 0; });
    };
    auto text = [](const Bytes& a) {
        char out[18];
        std::snprintf(out, sizeof out, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
        return std::string(out);
    };
    // The card the computer reaches the network through is the one a wake-up packet finds.
    if (auto route = list.defaultRouteInterface()) {
        for (const auto& e : *entries) {
            if (e.interfaceName == *route && usable(e)) return text(e.address);
        }
    }
    for (const auto& e : *entries) {
        if (!usable(e) || !e.up || e.loopback) continue;
        if (e.hardware == InterfaceAddress::Hardware::other) continue;
        return text(e.address);
    }
    return std::nullopt;
}

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "Mac";
    return name;
}

}  // namespace df::NetInfo
