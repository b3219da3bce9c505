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

bool AgentSettings::isChord(std::string_view chord) {
    if (chord.empty() || chord.size() > 64) return false;
    bool nameEmpty = true;
    for (char c : chord) {
        if (c == '+') {
            if (nameEmpty) return false;
            nameEmpty = true;
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_') {
            nameEmpty = false;
        } else {
            return false;
        }
    }
    return !nameEmpty;
}

namespace {
std::string chordOrDefault(const SettingsStore& store, std::string_view key) {
    auto stored = store.string(key);
    if (stored && AgentSettings::isChord(*stored)) return *stored;
    return std::string(AgentSettings::kDefaultGestureChord);
}
}  // namespace

std::string AgentSettings::missionControlChord() const { return chordOrDefault(store_, kMissionControlChordKey); }
std::string AgentSettings::appExposeChord() const { return chordOrDefault(store_, kAppExposeChordKey); }

bool AgentSettings::setMissionControlChord(std::string_view chord) {
    if (!isChord(chord)) return false;
    store_.setString(kMissionControlChordKey, chord);
    return true;
}

bool AgentSettings::setAppExposeChord(std::string_view chord) {
    if (!isChord(chord)) return false;
    store_.setString(kAppExposeChordKey, chord);
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
