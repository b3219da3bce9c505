#pragma once
// The character-to-key table used when the phone types a character with modifier keys held
// (command with "c" to copy): the character is turned into the Mac virtual key code of the
// ANSI (US) layout. Only lower-case letters, digits, eleven punctuation characters and the
// space are present; upper-case and shifted characters have no entry.
//
// Built once on first use; read-only afterwards, safe from any thread.

#include <cstdint>
#include <optional>
#include <unordered_map>

namespace df {

class KeyMap {
public:
    /// The 48 entries, character (a Unicode scalar) to virtual key code.
    static const std::unordered_map<char32_t, uint16_t>& table();
    static std::optional<uint16_t> keyCode(char32_t character);
};

}  // namespace df
