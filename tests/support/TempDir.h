#pragma once
// A fresh private directory for one test (or benchmark), removed with everything in it
// when the object goes. The file-backed stores take their paths below it; nothing here
// touches the environment.

#include <filesystem>
#include <string>
#include <system_error>

#include <stdlib.h>

namespace df::testsupport {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "duskferry-test.XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

    /// Where the agent keeps the key store and the settings file below a home directory,
    /// for tests that lay out a store the way the agent's main does.
    std::filesystem::path keychainDir() const { return path_ / "data" / "DuskFerry"; }
    std::filesystem::path settingsFile() const { return path_ / "config" / "DuskFerry" / "settings.json"; }

private:
    std::filesystem::path path_;
};

}  // namespace df::testsupport
