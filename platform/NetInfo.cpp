#include "platform/NetInfo.h"

#include <unistd.h>

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
    std::optional<std::string> first;
    for (const auto& e : *entries) {
        if (e.family != InterfaceAddress::Family::link) continue;
        if (e.interfaceName.rfind("en", 0) != 0) continue;
        if (e.address.size() != 6) continue;
        bool allZero = true;
        for (uint8_t b : e.address) allZero = allZero && b == 0;
        if (allZero) continue;
        char text[18];
        std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", e.address[0], e.address[1],
                      e.address[2], e.address[3], e.address[4], e.address[5]);
        if (e.interfaceName == "en0") return std::string(text);
        if (!first) first = std::string(text);
    }
    return first;
}

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "Mac";
    return name;
}

}  // namespace df::NetInfo
