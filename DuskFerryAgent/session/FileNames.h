#pragma once
// Names of files that arrive from the phone. The announced name is the phone's text: it may
// hold a path, control or direction-changing characters, bytes that are not UTF-8, or be
// too long for the file system. These rules turn it into a name that is one plain file in
// the Downloads folder, and give the numbered alternatives ("report 2.pdf", "report 3.pdf")
// tried while a name is taken. Pure; any thread.

#include <cstddef>
#include <string>
#include <string_view>

namespace df::FileNames {

/// What a name that leaves nothing usable becomes.
inline constexpr std::string_view defaultName = "Received file";

/// The announced name reduced to its last path component ('/' and '\' both separate),
/// without NUL, control characters (C0, DEL, C1) or bidirectional formatting characters,
/// with bytes that are not UTF-8 replaced by '_', without leading dots and spaces (which
/// would hide the file or make "." and "..") and trailing spaces, and shortened to
/// `maxBytes` keeping its extension and whole UTF-8 characters. Never empty.
std::string safeName(std::string_view announced, size_t maxBytes = 255);

/// The n-th name to try for a safe name: n = 1 is the name itself; from 2 on, the base (the
/// name without its extension), a space, n, then the dot and extension when there is one
/// ("report.pdf" → "report 2.pdf", "notes" → "notes 2"). The base is shortened so that the
/// result fits `maxBytes`.
std::string candidate(std::string_view safe, int n, size_t maxBytes = 255);

}  // namespace df::FileNames
