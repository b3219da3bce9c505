#pragma once
// A throw-away home for one test: HOME, XDG_DATA_HOME and XDG_CONFIG_HOME point into a
// fresh temporary folder (removed afterwards) and the locale variables are cleared, so the
// key store, the settings file and the language start from nothing. Restores the previous
// environment on destruction.

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace df::test {

class TempHome {
public:
    TempHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "duskferry-home.XXXXXX").string();
        root_ = ::mkdtemp(pattern.data()) ? pattern : "";
        for (const char* name : kVariables) {
            const char* value = std::getenv(name);
            saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
            ::unsetenv(name);
        }
        ::setenv("HOME", root_.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    }
    ~TempHome() {
        for (const auto& [name, value] : saved_) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path keychainDir() const { return root_ / "data" / "DuskFerry"; }
    std::filesystem::path settingsFile() const { return root_ / "config" / "DuskFerry" / "settings.json"; }

private:
    static constexpr const char* kVariables[] = {"HOME",   "XDG_DATA_HOME", "XDG_CONFIG_HOME", "LANGUAGE",
                                                 "LC_ALL", "LC_MESSAGES",   "LANG"};
    std::filesystem::path root_;
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace df::test
