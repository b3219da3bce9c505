#pragma once
// Which family of computer the agent runs on, as one of six words that the server
// advertises so the phone can show a matching picture: "macmini", "macstudio", "macbook",
// "imac", "macpro", "mac". Stateless; any thread.

#include "platform/SystemInfo.h"

#include <string>
#include <string_view>

namespace df {

class DeviceKind {
public:
    DeviceKind() = delete;

    /// The kind of the machine `info` describes (never fails; missing information gives
    /// "mac").
    static std::string detect(const SystemInfo& info);
    /// The kind for a product name or model text (first match of the fixed order wins).
    static std::string fromName(std::string_view name);
};

}  // namespace df
