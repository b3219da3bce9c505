#pragma once
// System information on Linux: the product name from the device tree (what ARM machines,
// Apple silicon among them, carry), the model from DMI (what x86 firmware offers), and
// the preferred languages from the locale environment. Stateless; any thread.

#include "platform/SystemInfo.h"

#include <filesystem>
#include <functional>

namespace df {

class LinuxSystemInfo final : public SystemInfo {
public:
    using Getenv = std::function<const char*(const char*)>;

    /// `root` prefixes /proc and /sys (tests use a prepared folder); `getenv` reads the
    /// environment.
    explicit LinuxSystemInfo(std::filesystem::path root = "/", Getenv getenv = nullptr);

    std::optional<Bytes> productName() const override;
    std::optional<std::string> hardwareModel() const override;
    std::vector<std::string> preferredLanguages() const override;

    /// A POSIX locale name as a language identifier: "zh_TW.UTF-8" -> "zh-TW",
    /// "sr_RS@latin" -> "sr-RS"; "C" and "POSIX" (no language) -> empty.
    static std::string languageFromLocale(std::string_view locale);

private:
    std::filesystem::path root_;
    Getenv getenv_;
};

}  // namespace df
