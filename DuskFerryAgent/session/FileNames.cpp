#include "DuskFerryAgent/session/FileNames.h"

#include <cstdint>

namespace df::FileNames {
namespace {

/// Decodes one UTF-8 sequence at `i`; false for a malformed one (then `length` is 1).
bool decode(std::string_view s, size_t i, char32_t& cp, size_t& length) {
    const auto b = static_cast<unsigned char>(s[i]);
    length = 1;
    if (b < 0x80) {
        cp = b;
        return true;
    }
    size_t need = 0;
    char32_t min = 0;
    if ((b & 0xE0) == 0xC0) {
        need = 1, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        need = 2, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        need = 3, cp = b & 0x07, min = 0x10000;
    } else {
        return false;
    }
    if (i + need >= s.size()) return false;
    for (size_t k = 1; k <= need; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    length = need + 1;
    return true;
}

/// Characters that must not reach a file name: NUL and other controls, and the
/// bidirectional marks, embeddings, overrides and isolates that make a name read as
/// something else ("invoice\u202Efdp.exe").
bool dropped(char32_t cp) {
    return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
           (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

/// `s` cut to at most `max` bytes without splitting a UTF-8 character (`s` is valid UTF-8).
std::string_view cut(std::string_view s, size_t max) {
    if (s.size() <= max) return s;
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
    return s.substr(0, end);
}

/// Splits at the last dot that is not the first character; no extension when nothing
/// follows that dot.
void split(std::string_view name, std::string_view& base, std::string_view& ext) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) {
        base = name;
        ext = {};
        return;
    }
    base = name.substr(0, dot);
    ext = name.substr(dot + 1);
}

}  // namespace

std::string safeName(std::string_view announced, size_t maxBytes) {
    // The last component that holds anything.
    std::string_view last = announced;
    while (!last.empty()) {
        const size_t sep = last.find_last_of("/\\");
        if (sep == std::string_view::npos) break;
        if (sep + 1 < last.size()) {
            last = last.substr(sep + 1);
            break;
        }
        last = last.substr(0, sep);
    }
    std::string clean;
    clean.reserve(last.size());
    for (size_t i = 0; i < last.size();) {
        char32_t cp = 0;
        size_t length = 1;
        if (!decode(last, i, cp, length)) {
            clean += '_';
        } else if (!dropped(cp)) {
            clean.append(last.substr(i, length));
        }
        i += length;
    }
    const size_t first = clean.find_first_not_of(". ");
    clean = first == std::string::npos ? std::string() : clean.substr(first);
    while (!clean.empty() && clean.back() == ' ') clean.pop_back();
    if (clean.empty()) clean = defaultName;
    return candidate(clean, 1, maxBytes);
}

std::string candidate(std::string_view safe, int n, size_t maxBytes) {
    std::string_view base;
    std::string_view ext;
    split(safe, base, ext);
    const std::string suffix = n >= 2 ? " " + std::to_string(n) : std::string();
    // An extension keeps its place unless it alone would take half the room.
    if (!ext.empty() && ext.size() + 1 > maxBytes / 2) {
        base = safe;
        ext = {};
    }
    const size_t tail = suffix.size() + (ext.empty() ? 0 : ext.size() + 1);
    const size_t room = maxBytes > tail ? maxBytes - tail : 0;
    std::string out(cut(base, room));
    // A cut may leave the base ending in spaces or empty; neither should be what shows.
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (out.empty()) out = cut(defaultName, room);
    out += suffix;
    if (!ext.empty()) {
        out += '.';
        out += ext;
    }
    return out;
}

}  // namespace df::FileNames
