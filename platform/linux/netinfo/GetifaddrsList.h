#pragma once
// The host's interface address list (getifaddrs), with what the kernel says about each
// card (sysfs) and the default route (/proc/net/route). Stateless: each read() asks the
// kernel.

#include "platform/NetInfo.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace df {

/// `sysClassNet` and `procNetRoute` are where the kernel shows its network cards and its
/// IPv4 routes; tests point them elsewhere.
std::shared_ptr<InterfaceAddressList> createGetifaddrsList(std::filesystem::path sysClassNet = "/sys/class/net",
                                                           std::filesystem::path procNetRoute = "/proc/net/route");

/// The interface of the default route in the text of /proc/net/route: a route that is up
/// with destination and mask 0, the lowest metric winning (the first among equals).
std::optional<std::string> defaultRouteInterface(std::string_view procNetRoute);

}  // namespace df
