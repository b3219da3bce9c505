#pragma once
// The agent's private key store: small named entries ("macDeviceID", "macPrivateKey",
// "trust:" + device ID, ...), one file each in the directory "DuskFerry" under
// $XDG_DATA_HOME (default ~/.local/share). The directory is made 0700 on every access and
// files are written 0600 by an atomic replace, so a reader on any thread sees either the
// old or the new content of an entry. There is no cache: every call goes to the disk.
//
// Nothing here reports errors: failed writes and deletes are ignored, failed reads behave
// as a missing entry. Any thread.

#include "protocol/Bytes.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace df::AgentKeychain {

/// Writes the entry `key`.
void set(const Bytes& data, std::string_view key);
/// The entry's bytes, or nothing when it cannot be read.
std::optional<Bytes> read(std::string_view key);
/// Removes the entry; a missing entry is fine.
void remove(std::string_view key);

/// The store's directory for the current environment, created (0700) if missing.
std::filesystem::path directory();
/// The file name of `key`: Unicode letters, marks and digits kept, every other character
/// written as "%XX" per UTF-8 byte (upper-case hex). Bytes that are not valid UTF-8 are
/// encoded one by one, so no key can name a file outside the directory.
std::string fileName(std::string_view key);

}  // namespace df::AgentKeychain
