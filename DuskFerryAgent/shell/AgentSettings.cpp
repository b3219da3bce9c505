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

void setLanguageOverride(std::string_view code, SettingsStore& settings) {
    settings.setString(L10n::kOverrideKey, code);
}

}  // namespace df::AgentSettings
