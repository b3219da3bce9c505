#pragma once
// Records what was advertised; the test plays the daemon's events.

#include "platform/DnsSd.h"

#include <vector>

namespace df::fake {

class FakeDnsSdAdvertiser final : public DnsSdAdvertiser {
public:
    std::vector<DnsSdService> advertised;
    size_t withdrawn = 0;  ///< withdraw() calls
    Handler handler;

    void advertise(const DnsSdService& service, Handler h) override {
        advertised.push_back(service);
        handler = std::move(h);
    }
    void withdraw() override { ++withdrawn; }
    void fire(Event e, const std::string& detail = {}) {
        if (handler) handler(e, detail);
    }
};

}  // namespace df::fake
