#include "DuskFerryAgent/shell/L10n.h"


namespace df {

const std::vector<L10n::Language>& L10n::supported() {
    static const std::vector<Language> languages = {
        {"zh-Hans", "简体中文"}, {"zh-Hant", "繁體中文"}, {"en", "English"}, {"ja", "日本語"},
        {"ko", "한국어"},        {"de", "Deutsch"},       {"fr", "Français"}, {"es", "Español"},
    };
    return languages;
}

std::string L10n::override(const SettingsStore& settings) {
    std::string value = settings.string(kOverrideKey).value_or("auto");
    // The first releases stored plain "zh" for Simplified Chinese.
    if (value == "zh") return "zh-Hans";
    return value;
}

std::string L10n::lang(std::string_view overrideValue, const std::vector<std::string>& preferred) {
    if (overrideValue != "auto") return std::string(overrideValue);
    for (const auto& id : preferred) {
        if (id.starts_with("zh")) {
            // The first Chinese identifier decides, whatever follows it.
            bool traditional = id.find("Hant") != std::string::npos || id.starts_with("zh-TW") ||
                               id.starts_with("zh-HK") || id.starts_with("zh-MO");
            return traditional ? "zh-Hant" : "zh-Hans";
        }
        for (const auto& language : supported()) {
            if (language.code.size() == 2 && id.starts_with(language.code)) return std::string(language.code);
        }
    }
    return "en";
}

L10n::L10n(const SettingsStore& settings, std::vector<std::string> preferred)
    : settings_(&settings), preferred_(std::move(preferred)) {
    refresh();
}

L10n::L10n(std::vector<std::string> preferred) : settings_(nullptr), preferred_(std::move(preferred)) {
    refresh();
}

void L10n::refresh() {
    auto language = lang(settings_ ? override(*settings_) : std::string("auto"), preferred_);
    std::lock_guard lock(mutex_);
    language_ = std::move(language);
}

std::string L10n::language() const {
    std::lock_guard lock(mutex_);
    return language_;
}

std::string L10n::t(std::string_view key, std::string_view language) {
    const auto& host = hostTexts();
    if (auto table = host.find(language); table != host.end()) {
        if (auto text = table->second.find(key); text != table->second.end()) return text->second;
    }
    if (language == "zh-Hans") return std::string(key);
    const auto& all = tables();
    if (auto table = all.find(language); table != all.end()) {
        if (auto text = table->second.find(key); text != table->second.end()) return text->second;
    }
    for (const auto* set : {&host, &all}) {
        if (auto english = set->find("en"); english != set->end()) {
            if (auto text = english->second.find(key); text != english->second.end()) return text->second;
        }
    }
    return std::string(key);
}

std::string L10n::t(std::string_view key) const {
    return t(key, language());
}

std::string L10n::format(std::string_view fmt, const std::vector<FormatArg>& args) {
    std::string out;
    out.reserve(fmt.size() + 32);
    size_t next = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c != '%' || i + 1 == fmt.size()) {
            out.push_back(c);
            continue;
        }
        char spec = fmt[i + 1];
        if (spec == '%') {
            out.push_back('%');
            ++i;
        } else if ((spec == '@' || spec == 'd') && next < args.size()) {
            const auto& arg = args[next++];
            if (const auto* text = std::get_if<std::string>(&arg)) out += *text;
            else out += std::to_string(std::get<long long>(arg));
            ++i;
        } else {
            // An unknown directive, or one without an argument left: kept as written
            // rather than reading past the arguments as printf would.
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace df
