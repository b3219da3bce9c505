#pragma once
// The agent's persistent settings in the per-user defaults store, with the rules for
// reading them. A thin view over the store it is given (which must outlive it); any
// thread (the store serialises itself).

#include "platform/SettingsStore.h"

#include <functional>
#include <string>
#include <string_view>

namespace df {

class AgentSettings {
public:
    static constexpr std::string_view kPairingCodeKey = "duskferry.pairingCode";
    static constexpr std::string_view kLockOnDisconnectKey = "lockOnDisconnect";
    static constexpr std::string_view kCommandKeyKey = "input.commandKey";
    static constexpr std::string_view kMissionControlChordKey = "input.missionControlChord";
    static constexpr std::string_view kAppExposeChordKey = "input.appExposeChord";
    /// The overview key of the common Linux desktops.
    static constexpr std::string_view kDefaultGestureChord = "Super";

    explicit AgentSettings(SettingsStore& store) : store_(store) {}

    SettingsStore& store() const { return store_; }

    /// The stored pairing code when it is exactly six characters; otherwise a new one from
    /// Pairing::makeCode(), stored and returned. So the code stays the same across launches
    /// until the stored value is removed or damaged.
    std::string loadOrCreatePairingCode();

    /// Lock the screen after an authenticated phone disconnects (default false).
    bool lockOnDisconnect() const;
    void setLockOnDisconnect(bool value);

    /// The host key the phone's Command key acts as: "control" (the default, so Command+C
    /// copies) or "super". Anything else stored reads as "control".
    std::string_view commandKey() const;
    /// Stores `value` when it is "control" or "super"; false, storing nothing, otherwise.
    bool setCommandKey(std::string_view value);

    /// The host chord the phone's Mission Control and App Exposé gestures press: key names
    /// joined by "+" ("Super", "Control+Alt+Down"). "Super" unless another chord is stored;
    /// a stored text that is not a chord reads as "Super" too.
    std::string missionControlChord() const;
    std::string appExposeChord() const;
    /// Store `chord` when it reads as a chord (letters, digits and "_" in names joined by
    /// "+", at most 64 characters); false, storing nothing, otherwise. Whether each name is a
    /// key of this host is known only when the chord is pressed.
    bool setMissionControlChord(std::string_view chord);
    bool setAppExposeChord(std::string_view chord);
    static bool isChord(std::string_view chord);

    /// The stored language choice (L10n::override).
    std::string languageOverride() const;
    /// Stores the language choice ("auto" or a code of L10n::supported()), then calls the
    /// language observer (on this thread) so that texts follow at once.
    void setLanguageOverride(std::string_view code);
    /// Called after every setLanguageOverride; the agent hands in its L10n's refresh().
    void setLanguageObserver(std::function<void()> observer) { languageObserver_ = std::move(observer); }

private:
    SettingsStore& store_;
    std::function<void()> languageObserver_;
};

}  // namespace df
