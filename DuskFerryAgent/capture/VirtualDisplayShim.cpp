#include "DuskFerryAgent/capture/VirtualDisplayShim.h"

#include <cstdio>

namespace df {
namespace {

std::string format(const char* fmt, auto... args) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

}  // namespace

VirtualDisplayShim::VirtualDisplayShim(std::shared_ptr<VirtualDisplays> host, WallClock wallClock, Diagnostic diagnostic)
    : host_(std::move(host)), wallClock_(std::move(wallClock)), diagnostic_(std::move(diagnostic)) {}

uint32_t VirtualDisplayShim::create(uint32_t width, uint32_t height, uint32_t hiDPI, const std::string& name,
                                    double refreshRate, std::unique_ptr<VirtualDisplayHandle>& handle) {
    handle.reset();
    auto say = [this](const std::string& line) {
        if (diagnostic_) diagnostic_("[DFVDisplay] " + line);
    };
    if (!host_) {
        lastFailure_ = VirtualDisplayFailure{VirtualDisplayFailure::Kind::noOutput, "no display server"};
        say("virtual displays are not available: no display server");
        return 0;
    }
    // Counter plus the time, in 32 bits: unique within the process and across restarts.
    const uint32_t serial = counter_ + static_cast<uint32_t>(wallClock_ ? wallClock_() : 0);
    counter_ += 1;
    const uint32_t k = hiDPI > 1 ? hiDPI : 1;

    VirtualDisplaySpec spec;
    spec.name = name;
    spec.width = width / k;
    spec.height = height / k;
    spec.refreshRate = refreshRate;
    spec.widthMillimetres = widthMillimetres;
    spec.heightMillimetres = heightMillimetres;
    spec.vendorID = vendorID;
    spec.productID = productID;
    spec.serialNumber = serial;
    auto result = host_->create(spec);
    if (auto* failure = std::get_if<VirtualDisplayFailure>(&result)) {
        switch (failure->kind) {
        case VirtualDisplayFailure::Kind::noOutput:
            say(format("no output can take a virtual display (%s) serial=%u", failure->detail.c_str(), serial));
            break;
        case VirtualDisplayFailure::Kind::modeRejected:
            say(format("mode creation failed: %s", failure->detail.c_str()));
            break;
        case VirtualDisplayFailure::Kind::applyFailed:
            say(format("applying the settings failed %ux%u@%.0f hiDPI=%u: %s", spec.width, spec.height, refreshRate, k,
                       failure->detail.c_str()));
            break;
        }
        lastFailure_ = std::move(*failure);
        return 0;
    }
    lastFailure_.reset();
    auto& created = std::get<VirtualDisplayCreated>(result);
    say(format("created successfully displayID=%u serial=%u name=\"%s\"", created.displayID, serial,
               created.hostName.c_str()));
    handle.reset(new VirtualDisplayHandle(created.token, created.displayID, created.hostName));
    return created.displayID;
}

void VirtualDisplayShim::destroy(std::unique_ptr<VirtualDisplayHandle> handle) {
    if (!handle || !host_) return;
    host_->destroy(handle->token_);
    if (diagnostic_) diagnostic_(format("[DFVDisplay] destroyed displayID=%u", handle->displayID_));
}

uint32_t DFVirtualDisplayCreate(VirtualDisplayShim& shim, uint32_t width, uint32_t height, uint32_t hiDPI,
                                const std::string& name, double refreshRate,
                                std::unique_ptr<VirtualDisplayHandle>& handle) {
    return shim.create(width, height, hiDPI, name, refreshRate, handle);
}

void DFVirtualDisplayDestroy(VirtualDisplayShim& shim, std::unique_ptr<VirtualDisplayHandle> handle) {
    shim.destroy(std::move(handle));
}

}  // namespace df
