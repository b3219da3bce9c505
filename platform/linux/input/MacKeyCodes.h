#pragma once
// Mac virtual key codes (the ANSI keyboard the phone's messages are written for) to X
// keysyms. The Command key's counterpart is a setting: Control by default, so that the
// shortcuts a Mac user's hands know (Command+C, Command+V, Command+Z) do the same here.

#include <cstdint>

namespace df {

enum class CommandKey {
    control,  ///< Command acts as Control (Command+C copies)
    super,    ///< Command acts as the Super ("Windows") key
};

/// The keysym for a Mac virtual key code; 0 (NoSymbol) for codes with no counterpart.
uint32_t macKeyCodeToKeysym(uint16_t macKeyCode, CommandKey command);

}  // namespace df
