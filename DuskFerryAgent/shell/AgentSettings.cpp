#include "DuskFerryAgent/shell/AgentSettings.h"

#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/shell/Utf8.h"
#include "protocol/Pairing.h"

namespace df::AgentSettings {

namespace {
constexpr size_t kPairingCodeLength = 6;
}

std::string loadOrCreatePairingCode(SettingsStore& settings) {
    if (auto stored = settings.string(kPairingCodeKey);
        stored && Utf8::isValid(*stored) && Utf8::length(*stored) == kPairingCodeLength) {
        return *stored;
    }
    std::string code = Pairing::makeCode();
    settings.setString(kPairingCodeKey, code);
    return code;
}

bool lockOnDisconnect(const SettingsStore& settings) {
    return settings.boolean(kLockOnDisconnectKey).value_or(false);
}

void setLockOnDisconnect(bool value, SettingsStore& settings) {
    settings.setBoolean(kLockOnDisconnectKey, value);
}

std::string_view commandKey(const SettingsStore& settings) {
    return settings.string(kCommandKeyKey) == "super" ? "super" : "control";
}

bool setCommandKey(std::string_view value, SettingsStore& settings) {
    if (value != "control" && value != "super") return false;
    settings.setString(kCommandKeyKey, value);
    return true;
}

void setLanguageOverride(std::string_view code, SettingsStore& settings) {
    settings.setString(L10n::kOverrideKey, code);
}

}  // namespace df::AgentSettings
