#include "DuskFerryAgent/shell/AgentSettings.h"

#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/shell/Utf8.h"
#include "protocol/Pairing.h"

namespace df {

namespace {
constexpr size_t kPairingCodeLength = 6;
}

std::string AgentSettings::loadOrCreatePairingCode() {
    if (auto stored = store_.string(kPairingCodeKey);
        stored && Utf8::isValid(*stored) && Utf8::length(*stored) == kPairingCodeLength) {
        return *stored;
    }
    std::string code = Pairing::makeCode();
    store_.setString(kPairingCodeKey, code);
    return code;
}

bool AgentSettings::lockOnDisconnect() const {
    return store_.boolean(kLockOnDisconnectKey).value_or(false);
}

void AgentSettings::setLockOnDisconnect(bool value) {
    store_.setBoolean(kLockOnDisconnectKey, value);
}

std::string_view AgentSettings::commandKey() const {
    return store_.string(kCommandKeyKey) == "super" ? "super" : "control";
}

bool AgentSettings::setCommandKey(std::string_view value) {
    if (value != "control" && value != "super") return false;
    store_.setString(kCommandKeyKey, value);
    return true;
}

std::string AgentSettings::languageOverride() const {
    return L10n::override(store_);
}

void AgentSettings::setLanguageOverride(std::string_view code) {
    store_.setString(L10n::kOverrideKey, code);
    if (languageObserver_) languageObserver_();
}

}  // namespace df
