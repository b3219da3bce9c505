#include "platform/linux/sysinfo/LinuxSystemInfo.h"

#include "platform/AtomicFile.h"

#include <cstdlib>

namespace df {

namespace {
// Firmware strings are short; anything longer is not a name.
constexpr size_t kMaxFirmwareString = 4096;

std::string textUpToNul(const Bytes& bytes) {
    std::string text(bytes.begin(), bytes.end());
    if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    // sysfs ends its values with a line feed; trailing blanks are padding in DMI.
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) text.pop_back();
    return text;
}
}  // namespace

LinuxSystemInfo::LinuxSystemInfo(std::filesystem::path root, Getenv getenv)
    : root_(std::move(root)), getenv_(std::move(getenv)) {
    if (!getenv_) getenv_ = [](const char* name) { return std::getenv(name); };
}

std::optional<Bytes> LinuxSystemInfo::productName() const {
    // The kernel exposes the flattened device tree in two places; the first is the usual one.
    for (const char* path : {"proc/device-tree/model", "sys/firmware/devicetree/base/model"}) {
        if (auto bytes = AtomicFile::read(root_ / path, kMaxFirmwareString)) return bytes;
    }
    return std::nullopt;
}

std::optional<std::string> LinuxSystemInfo::hardwareModel() const {
    auto dmi = root_ / "sys/class/dmi/id";
    auto name = AtomicFile::read(dmi / "product_name", kMaxFirmwareString);
    if (!name) return std::nullopt;
    std::string model = textUpToNul(*name);
    if (model.empty()) return std::nullopt;
    if (auto version = AtomicFile::read(dmi / "product_version", kMaxFirmwareString)) {
        if (auto text = textUpToNul(*version); !text.empty()) model += " " + text;
    }
    return model;
}

std::string LinuxSystemInfo::languageFromLocale(std::string_view locale) {
    auto cut = locale.find_first_of(".@");
    std::string id(locale.substr(0, cut));
    if (id.empty() || id == "C" || id == "POSIX") return {};
    for (char& c : id) {
        if (c == '_') c = '-';
    }
    return id;
}

std::vector<std::string> LinuxSystemInfo::preferredLanguages() const {
    std::vector<std::string> out;
    auto add = [&out](std::string_view locale) {
        auto id = languageFromLocale(locale);
        if (!id.empty()) out.push_back(std::move(id));
    };
    // LANGUAGE is gettext's ordered list of preferences, "de_AT:de:en".
    if (const char* list = getenv_("LANGUAGE"); list != nullptr) {
        std::string_view rest(list);
        while (!rest.empty()) {
            auto colon = rest.find(':');
            add(rest.substr(0, colon));
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    }
    // Then the messages locale, which LC_ALL overrides and LANG defaults.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = getenv_(name);
        if (value != nullptr && value[0] != '\0') {
            add(value);
            break;
        }
    }
    return out;
}

}  // namespace df
