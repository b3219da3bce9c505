#pragma once
// Facts about the machine and the user's session that the agent shows or advertises:
// the product name and model (for the device kind) and the preferred UI languages.
// Linux: device tree, DMI and the locale environment (platform/linux/sysinfo);
// tests: fake::FakeSystemInfo. Any thread.

#include "protocol/Bytes.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace df {

class SystemInfo {
public:
    virtual ~SystemInfo() = default;

    /// The firmware's product name as raw bytes (may carry NULs at either end); nothing
    /// when the machine has none. Linux: the device-tree "model".
    virtual std::optional<Bytes> productName() const = 0;
    /// The hardware model text, up to the first NUL; nothing when unavailable or empty.
    /// Linux: DMI product name, followed by its version when there is one.
    virtual std::optional<std::string> hardwareModel() const = 0;
    /// The user's preferred languages, most preferred first, as language identifiers
    /// ("en-US", "zh-Hant-TW", "zh-TW"); may be empty.
    virtual std::vector<std::string> preferredLanguages() const = 0;
};

}  // namespace df
