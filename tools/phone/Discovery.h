#pragma once
// Finds agents on the local network through the Avahi daemon: browses the DNS-SD service
// "_duskferry._tcp" and resolves every instance to an address, a port and the TXT entries
// "kind" and "id". Blocking; runs on the calling thread with Avahi's simple poll loop.

#include "protocol/Result.h"

#include <cstdint>
#include <string>
#include <vector>

namespace df::phone {

struct DiscoveredAgent {
    std::string name;           ///< the instance name (the computer's name)
    std::string hostName;       ///< the resolved host, e.g. "debian.local"
    std::string address;        ///< numeric IPv4 or IPv6 address
    uint16_t port = 0;
    std::string kind;           ///< TXT "kind"
    std::string id;             ///< TXT "id" (the agent's macDeviceID)
    std::string interfaceName;  ///< where it was seen
};

/// Browses for `timeout` seconds at most, or until the daemon reports that it has told all
/// it knows and every instance is resolved. Fails when the Avahi daemon cannot be reached.
/// The same instance seen on several interfaces or protocols is listed once per address.
Result<std::vector<DiscoveredAgent>> discoverAgents(double timeout);

/// One line for a person: name, address, port, kind and id.
std::string describe(const DiscoveredAgent& agent);

}  // namespace df::phone
