#include "platform/XdgDirs.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <pwd.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace df::XdgDirs {

namespace {
std::filesystem::path absoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return {};
    return value;
}
}  // namespace

std::filesystem::path home() {
    if (auto fromEnv = absoluteFromEnvironment("HOME"); !fromEnv.empty()) return fromEnv;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr && result->pw_dir[0] == '/') {
        return result->pw_dir;
    }
    return "/";
}

std::filesystem::path dataHome() {
    if (auto fromEnv = absoluteFromEnvironment("XDG_DATA_HOME"); !fromEnv.empty()) return fromEnv;
    return home() / ".local" / "share";
}

std::filesystem::path configHome() {
    if (auto fromEnv = absoluteFromEnvironment("XDG_CONFIG_HOME"); !fromEnv.empty()) return fromEnv;
    return home() / ".config";
}

std::optional<std::filesystem::path> runtimeDir() {
    if (auto fromEnv = absoluteFromEnvironment("XDG_RUNTIME_DIR"); !fromEnv.empty()) return fromEnv;
    return std::nullopt;
}

std::optional<std::filesystem::path> downloadDirFromUserDirs(std::string_view text, const std::filesystem::path& home) {
    std::optional<std::filesystem::path> found;
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        constexpr std::string_view key = "XDG_DOWNLOAD_DIR=";
        if (line.compare(start, key.size(), key) != 0) continue;
        std::string_view rest = std::string_view(line).substr(start + key.size());
        if (rest.empty() || rest.front() != '"') continue;
        std::string value;
        bool closed = false;
        for (size_t i = 1; i < rest.size(); ++i) {
            if (rest[i] == '\\' && i + 1 < rest.size()) {
                value += rest[++i];
            } else if (rest[i] == '"') {
                closed = true;
                break;
            } else {
                value += rest[i];
            }
        }
        if (!closed) continue;
        std::filesystem::path path;
        if (value.starts_with("$HOME/")) {
            path = home / value.substr(6);
        } else if (value.starts_with("/")) {
            path = value;
        } else {
            continue;
        }
        // "$HOME/" alone is how a disabled folder is written.
        if (path.lexically_normal() == home.lexically_normal() || path.lexically_normal() == (home / "").lexically_normal())
            continue;
        found = path;  // the last assignment counts, as when the shell reads the file
    }
    return found;
}

std::filesystem::path downloadDir() {
    const auto homeDir = home();
    if (auto fromEnv = absoluteFromEnvironment("XDG_DOWNLOAD_DIR"); !fromEnv.empty()) return fromEnv;
    std::ifstream in(configHome() / "user-dirs.dirs");
    if (in) {
        std::stringstream text;
        text << in.rdbuf();
        if (auto path = downloadDirFromUserDirs(text.str(), homeDir)) return *path;
    }
    return homeDir / "Downloads";
}

}  // namespace df::XdgDirs

namespace df::XdgDirs {

std::vector<std::filesystem::path> dataDirs() {
    std::vector<std::filesystem::path> out;
    const char* value = std::getenv("XDG_DATA_DIRS");
    const std::string list = value != nullptr && value[0] != '\0' ? value : "/usr/local/share:/usr/share";
    for (size_t start = 0; start <= list.size();) {
        size_t colon = list.find(':', start);
        if (colon == std::string::npos) colon = list.size();
        if (colon > start && list[start] == '/') out.emplace_back(list.substr(start, colon - start));
        start = colon + 1;
    }
    return out;
}

}  // namespace df::XdgDirs
