#pragma once
// The agent's virtual display over the host's display configuration: DFVirtualDisplayCreate
// asks for one display of (width ÷ factor) × (height ÷ factor) pixels at the given refresh
// rate (X11 has no per-display HiDPI factor, so the factor only divides the mode), with the
// agent's descriptor (name, size, vendor and product, a fresh serial number);
// DFVirtualDisplayDestroy takes it away. Each step writes a line tagged "[DFVDisplay]" to
// the diagnostic sink (standard error in the agent).
//
// One shim per agent; used on the main queue only.

#include "platform/VirtualDisplays.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <memory>
#include <string>

namespace df {

/// The handle of a virtual display while it exists; owned by whoever created it.
class VirtualDisplayHandle {
public:
    uint32_t displayID() const { return displayID_; }
    /// The name the host shows (the given name, or the output's name where monitors cannot
    /// be named).
    const std::string& hostName() const { return hostName_; }

private:
    friend class VirtualDisplayShim;
    VirtualDisplayHandle(uint64_t token, uint32_t id, std::string hostName)
        : token_(token), displayID_(id), hostName_(std::move(hostName)) {}
    uint64_t token_;
    uint32_t displayID_;
    std::string hostName_;
};

class VirtualDisplayShim {
public:
    /// Seconds of Unix time (the serial number's second part).
    using WallClock = std::function<int64_t()>;
    using Diagnostic = std::function<void(const std::string& line)>;

    static constexpr uint32_t widthMillimetres = 600;
    static constexpr uint32_t heightMillimetres = 340;
    static constexpr uint32_t productID = 17478;
    static constexpr uint32_t vendorID = 7761;

    /// `host` may be null (no display server): every creation then fails.
    VirtualDisplayShim(std::shared_ptr<VirtualDisplays> host, WallClock wallClock, Diagnostic diagnostic);

    /// The new display's ID and its handle in `handle`, or 0 and no handle. The last failure
    /// stays readable until the next call.
    uint32_t create(uint32_t width, uint32_t height, uint32_t hiDPI, const std::string& name, double refreshRate,
                    std::unique_ptr<VirtualDisplayHandle>& handle);
    void destroy(std::unique_ptr<VirtualDisplayHandle> handle);

    /// Why the last create() failed; nothing after a success.
    const std::optional<VirtualDisplayFailure>& lastFailure() const { return lastFailure_; }

    const std::shared_ptr<VirtualDisplays>& host() const { return host_; }

private:
    std::shared_ptr<VirtualDisplays> host_;
    WallClock wallClock_;
    Diagnostic diagnostic_;
    uint32_t counter_ = 0;
    std::optional<VirtualDisplayFailure> lastFailure_;
};

uint32_t DFVirtualDisplayCreate(VirtualDisplayShim& shim, uint32_t width, uint32_t height, uint32_t hiDPI,
                                const std::string& name, double refreshRate,
                                std::unique_ptr<VirtualDisplayHandle>& handle);
/// An absent handle is ignored.
void DFVirtualDisplayDestroy(VirtualDisplayShim& shim, std::unique_ptr<VirtualDisplayHandle> handle);

}  // namespace df
