#pragma once
// Small private files that are replaced whole: the key store's entries and the settings
// file. A reader on any thread or in another process sees the old or the new content,
// never a mix. Any thread; nothing here throws.

#include "protocol/Bytes.h"

#include <filesystem>
#include <optional>
#include <span>
#include <sys/types.h>

namespace df::AtomicFile {

/// Creates `dir` and its missing parents, each with `mode`. Errors are ignored.
void makeDirectories(const std::filesystem::path& dir, mode_t mode);

/// Writes `data` to a temporary file beside `file` (created with `mode`), flushes it to
/// disk, then renames it over `file`. False when any step failed; `file` is then as before.
bool write(const std::filesystem::path& file, std::span<const uint8_t> data, mode_t mode);

/// The file's bytes; nothing when it cannot be opened or read, is not a regular file, or
/// is larger than `maxSize` (a damaged store must not make us read gigabytes). Then
/// `error`, when given, says why: ENOENT only when the file does not exist, EISDIR for
/// what is not a regular file, EFBIG for one too large, else the failing call's errno
/// (EMFILE when out of descriptors, say).
std::optional<Bytes> read(const std::filesystem::path& file, size_t maxSize = 1 << 20, int* error = nullptr);

}  // namespace df::AtomicFile
