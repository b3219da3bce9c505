#pragma once
// The agent's persistent settings in the per-user defaults store, with the rules for
// reading them. Any thread (the store serialises itself).

#include "platform/SettingsStore.h"

#include <string>
#include <string_view>

namespace df::AgentSettings {

inline constexpr std::string_view kPairingCodeKey = "duskferry.pairingCode";
inline constexpr std::string_view kLockOnDisconnectKey = "lockOnDisconnect";
inline constexpr std::string_view kCommandKeyKey = "input.commandKey";

/// The stored pairing code when it is exactly six characters; otherwise a new one from
/// Pairing::makeCode(), stored and returned. So the code stays the same across launches
/// until the stored value is removed or damaged.
std::string loadOrCreatePairingCode(SettingsStore& settings = SettingsStore::standard());

/// Lock the screen after an authenticated phone disconnects (default false).
bool lockOnDisconnect(const SettingsStore& settings = SettingsStore::standard());
void setLockOnDisconnect(bool value, SettingsStore& settings = SettingsStore::standard());

/// The host key the phone's Command key acts as: "control" (the default, so Command+C
/// copies) or "super". Anything else stored reads as "control".
std::string_view commandKey(const SettingsStore& settings = SettingsStore::standard());
/// Stores `value` when it is "control" or "super"; false, storing nothing, otherwise.
bool setCommandKey(std::string_view value, SettingsStore& settings = SettingsStore::standard());

/// Stores the language choice ("auto" or a code of L10n::supported()).
void setLanguageOverride(std::string_view code, SettingsStore& settings = SettingsStore::standard());

}  // namespace df::AgentSettings
