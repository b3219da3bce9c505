#include "platform/XdgDirs.h"

#include <cstdlib>
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
