#pragma once
// The per-user defaults store: a few small named settings that outlive the process
// ("duskferry.pairingCode", "lockOnDisconnect", "app.languageOverride").
// Linux: a settings file, which the agent's main puts under $XDG_CONFIG_HOME
// (platform/linux/settings);
// tests: fake::MemorySettingsStore.
//
// Implementations are safe to call from any thread: the shell writes on the main thread
// while sessions and L10n read from the server queue.

#include <optional>
#include <string>
#include <string_view>

namespace df {

class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    /// The text stored under `key`; nothing when absent or not a text.
    virtual std::optional<std::string> string(std::string_view key) const = 0;
    /// The flag stored under `key`; nothing when absent or not a flag.
    virtual std::optional<bool> boolean(std::string_view key) const = 0;

    /// Store a value, replacing whatever was there. Failures to persist are not reported:
    /// the next read shows what actually is stored.
    virtual void setString(std::string_view key, std::string_view value) = 0;
    virtual void setBoolean(std::string_view key, bool value) = 0;
    /// Forget `key`; absent keys are fine.
    virtual void remove(std::string_view key) = 0;
};

}  // namespace df
