#include "tools/phone/PhoneFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace df::phone {
namespace {

/// The code point at `i` and its length; length 0 for a malformed sequence.
char32_t decode(std::string_view s, size_t i, size_t& length) {
    const auto b = static_cast<unsigned char>(s[i]);
    length = 0;
    if (b < 0x80) {
        length = 1;
        return b;
    }
    size_t need = (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 0;
    if (need == 0 || i + need >= s.size()) return 0;
    char32_t cp = b & (0x3F >> need);
    for (size_t k = 1; k <= need; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    length = need + 1;
    return cp;
}

bool unsafe(char32_t cp) {
    return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
           (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t length = 0;
        const char32_t cp = decode(text, i, length);
        char escape[16];
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(text[i]));
            out += escape;
            ++i;
            continue;
        }
        if (unsafe(cp)) {
            if (cp < 0x100) {
                std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(cp));
            } else {
                std::snprintf(escape, sizeof escape, "\\u{%04X}", static_cast<unsigned>(cp));
            }
            out += escape;
        } else if (cp == '\\') {
            out += "\\\\";
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

bool acceptableDownloadName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name.front() == '.') return false;
    for (size_t i = 0; i < name.size();) {
        size_t length = 0;
        const char32_t cp = decode(name, i, length);
        if (length == 0 || unsafe(cp) || cp == '/' || cp == '\\') return false;
        i += length;
    }
    return true;
}

Result<CreatedFile> createDownload(const std::filesystem::path& dir, const std::string& name) {
    if (!acceptableDownloadName(name)) return Failure{"refused name"};
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::filesystem::path plain(name);
    const std::string stem = plain.stem().string();
    const std::string ext = plain.extension().string();
    for (int n = 1; n < 10000; ++n) {
        const std::string candidate = n == 1 ? name : stem + " " + std::to_string(n) + ext;
        const std::filesystem::path path = dir / candidate;
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) return CreatedFile{fd, path};
        if (errno != EEXIST) return Failure{std::string(std::strerror(errno))};
    }
    return Failure{"no free name"};
}

}  // namespace df::phone
