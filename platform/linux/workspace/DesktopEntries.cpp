#include "platform/linux/workspace/DesktopEntries.h"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

namespace df {
namespace {

std::string lower(std::string s) {
    std::ranges::transform(s, s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string keyString(GKeyFile* file, const char* key, const char* locale = nullptr) {
    gchar* value = locale ? g_key_file_get_locale_string(file, "Desktop Entry", key, locale, nullptr)
                          : g_key_file_get_string(file, "Desktop Entry", key, nullptr);
    std::string out = value ? value : "";
    g_free(value);
    return out;
}

/// The file name of the program an Exec line runs (skipping "env VAR=value ...").
std::string programOf(const std::string& exec) {
    gint argc = 0;
    gchar** argv = nullptr;
    std::string program;
    if (g_shell_parse_argv(exec.c_str(), &argc, &argv, nullptr)) {
        int i = 0;
        if (argc > 0 && std::string(argv[0]) == "env") {
            for (i = 1; i < argc && std::string(argv[i]).find('=') != std::string::npos; ++i) {
            }
        }
        if (i < argc) program = std::filesystem::path(argv[i]).filename().string();
        g_strfreev(argv);
    }
    return program;
}

}  // namespace

DesktopEntries::DesktopEntries(std::vector<std::filesystem::path> dataDirs, std::vector<std::string> languages)
    : dataDirs_(std::move(dataDirs)), locale_(languages.empty() ? std::string() : entryLocale(languages.front())) {}

std::string DesktopEntries::entryLocale(const std::string& language) {
    std::vector<std::string> parts;
    std::stringstream in(language);
    for (std::string part; std::getline(in, part, '-');) parts.push_back(part);
    if (parts.empty()) return {};
    std::string region;
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i].size() == 2 || (parts[i].size() == 3 && std::isdigit(static_cast<unsigned char>(parts[i][0])))) {
            region = parts[i];
        } else if (parts[i] == "Hans" && region.empty()) {
            region = "CN";
        } else if (parts[i] == "Hant" && region.empty()) {
            region = "TW";
        }
    }
    return region.empty() ? parts[0] : parts[0] + "_" + region;
}

void DesktopEntries::scan() {
    entries_.emplace();
    std::set<std::string> seen;
    for (const auto& dir : dataDirs_) {
        const auto apps = dir / "applications";
        std::error_code error;
        if (!std::filesystem::is_directory(apps, error)) continue;
        for (auto it = std::filesystem::recursive_directory_iterator(apps, error);
             !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
            const auto& path = it->path();
            if (path.extension() != ".desktop" || !it->is_regular_file(error)) continue;
            std::string id = path.lexically_relative(apps).replace_extension().string();
            std::ranges::replace(id, '/', '-');
            if (!seen.insert(id).second) continue;  // an earlier directory has it
            // Every translation is kept: the language is ours to choose, not the process locale's.
            GKeyFile* file = g_key_file_new();
            if (g_key_file_load_from_file(file, path.c_str(), G_KEY_FILE_KEEP_TRANSLATIONS, nullptr) &&
                keyString(file, "Type") == "Application" &&
                !g_key_file_get_boolean(file, "Desktop Entry", "Hidden", nullptr)) {
                Entry entry;
                entry.id = id;
                entry.name = keyString(file, "Name", locale_.empty() ? "C" : locale_.c_str());
                entry.startupWMClass = keyString(file, "StartupWMClass");
                entry.executable = programOf(keyString(file, "Exec"));
                entries_->push_back(std::move(entry));
            }
            g_key_file_free(file);
        }
    }
}

std::optional<DesktopEntries::Entry> DesktopEntries::match(const std::string& wmClass, const std::string& wmInstance,
                                                           const std::string& executable) {
    if (!entries_) scan();
    const std::string cls = lower(wmClass);
    const std::string inst = lower(wmInstance);
    const auto names = [&](const std::string& candidate) {
        const std::string c = lower(candidate);
        return !c.empty() && (c == cls || c == inst);
    };
    for (const auto& e : *entries_) {
        if (names(e.startupWMClass)) return e;
    }
    for (const auto& e : *entries_) {
        const auto dot = e.id.rfind('.');
        if (names(e.id) || (dot != std::string::npos && names(e.id.substr(dot + 1)))) return e;
    }
    for (const auto& e : *entries_) {
        if (!e.executable.empty() && (e.executable == executable || lower(e.executable) == inst)) return e;
    }
    return std::nullopt;
}

}  // namespace df
