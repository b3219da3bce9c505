#pragma once
// DNS-SD (Bonjour / mDNS) service advertisement. Linux: the Avahi client library
// (platform/linux/dnssd); tests: fake::FakeDnsSdAdvertiser.

#include "protocol/Bytes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace df {

struct DnsSdService {
    std::string name;  ///< instance name; the advertiser may pick an alternative on a conflict
    std::string type;  ///< e.g. "_duskferry._tcp"
    uint16_t port = 0;
    Bytes txt;         ///< TXT rdata: a sequence of length-prefixed "key=value" strings
};

class DnsSdAdvertiser {
public:
    enum class Event {
        registered,         ///< the service is published; detail = the name in use
        renamed,            ///< the name was taken; detail = the alternative now tried
        daemonUnavailable,  ///< no mDNS daemon; reported once, publishing resumes when one appears
        failed,             ///< the daemon refused the service; detail = its reason
    };
    /// Called on the advertiser's own thread; receivers hop to their queue.
    using Handler = std::function<void(Event, const std::string& detail)>;

    virtual ~DnsSdAdvertiser() = default;
    /// Publishes `service` until withdraw() or until the advertiser is destroyed. Called
    /// once, or again after withdraw().
    virtual void advertise(const DnsSdService& service, Handler handler) = 0;
    /// Takes the service off the network (the listener behind it is gone), so phones stop
    /// finding a port nobody serves. Harmless when nothing is published.
    virtual void withdraw() = 0;
};

}  // namespace df
