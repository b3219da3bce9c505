#include "platform/XdgDirs.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
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
