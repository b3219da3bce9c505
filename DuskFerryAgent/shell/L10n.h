#pragma once
// Every text the agent shows goes through an L10n object. Keys are the Simplified Chinese
// texts (what a zh-Hans user sees); seven compiled-in tables give the other languages.
// The language in effect is worked out when the object is made, from the stored
// "app.languageOverride" and the user's preferred languages (which the agent's main reads
// from the environment and hands in), and again on refresh(), which the settings call when
// the language choice changes.
//
// Called from the main thread and the server and session queues: the tables are built
// once (thread-safe) and only read afterwards; the language is guarded by a lock.

#include "platform/SettingsStore.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace df {

class L10n {
public:
    struct Language {
        std::string_view code;
        std::string_view name;  ///< the language's own name
    };
    /// The selectable languages, in the order the picker lists them.
    static const std::vector<Language>& supported();

    using Table = std::map<std::string, std::string, std::less<>>;
    /// Language code to table; seven entries ("en", "zh-Hant", "ja", "ko", "de", "fr", "es"),
    /// all with the same 60 keys. zh-Hans has no table: its text is the key.
    static const std::map<std::string, Table, std::less<>>& tables();

    /// The desktop shell's own texts of this host, in all eight languages ("zh-Hans" among
    /// them, which also rewords keys whose own text speaks of a Mac). Looked up before
    /// the tables above.
    static const std::map<std::string, Table, std::less<>>& hostTexts();

    /// The settings key of the user's choice.
    static constexpr std::string_view kOverrideKey = "app.languageOverride";

    /// The stored choice: "auto" when absent, the legacy "zh" read as "zh-Hans".
    static std::string override(const SettingsStore& settings);

    /// The language for a stored choice and a preferred-language list (pure).
    static std::string lang(std::string_view overrideValue, const std::vector<std::string>& preferred);

    /// The text of `key` in `language` (pure); falls back to English, then to the key.
    static std::string t(std::string_view key, std::string_view language);

    /// One argument of a format: "%@" takes text, "%d" an integer.
    using FormatArg = std::variant<std::string, long long>;

    /// printf-style filling: "%@" and "%d" take the next argument in turn (an argument of the
    /// other kind is written as it is), "%%" is "%". A placeholder without an argument left
    /// is kept as it stands; other "%" sequences are copied unchanged.
    static std::string format(std::string_view fmt, const std::vector<FormatArg>& args);

    template <typename... Args>
    static std::string format(std::string_view fmt, const Args&... args) {
        std::vector<FormatArg> list;
        list.reserve(sizeof...(Args));
        auto add = [&list](const auto& a) {
            using A = std::decay_t<decltype(a)>;
            if constexpr (std::is_integral_v<A>) list.emplace_back(static_cast<long long>(a));
            else list.emplace_back(std::string(std::string_view(a)));
        };
        (add(args), ...);
        return format(fmt, list);
    }

    /// The language from the choice stored in `settings` and the preferred languages.
    /// The store must outlive this object.
    L10n(const SettingsStore& settings, std::vector<std::string> preferred);
    /// No stored choice ("auto"): the language follows the preferred list alone.
    explicit L10n(std::vector<std::string> preferred);
    L10n(const L10n&) = delete;
    L10n& operator=(const L10n&) = delete;

    /// Works the language out again from the stored choice (after it changed).
    void refresh();
    /// The language in effect.
    std::string language() const;

    /// The text of `key` in the language in effect; falls back to English, then to the key.
    std::string t(std::string_view key) const;

    /// Looks `key` up and fills it: tf("已连接：%@", name).
    template <typename... Args>
    std::string tf(std::string_view key, const Args&... args) const {
        return format(t(key), args...);
    }

private:
    const SettingsStore* settings_;
    const std::vector<std::string> preferred_;
    mutable std::mutex mutex_;
    std::string language_;  // guarded by mutex_
};

}  // namespace df
