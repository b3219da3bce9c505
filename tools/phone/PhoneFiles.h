#pragma once
// What the reference client does with text and files from the agent: text is printed with
// control and direction-changing characters shown as escapes (so an agent can't drive the
// terminal), and a received file becomes a new file in the download folder under a name
// the agent can't turn into a path, a hidden file or a link to follow. Any thread.

#include "protocol/Result.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace df::phone {

/// `text` with C0 and C1 control characters, DEL and bidirectional formatting characters
/// written as \xNN or \u{XXXX}, bytes that are not UTF-8 as \xNN, and backslashes doubled.
std::string printable(std::string_view text);

/// A name from the agent that may name a file here: one path component, not empty, not
/// beginning with a dot, without control or bidirectional formatting characters, valid
/// UTF-8, at most 255 bytes.
bool acceptableDownloadName(std::string_view name);

struct CreatedFile {
    int fd = -1;  ///< open for writing; the caller closes it
    std::filesystem::path path;
};

/// A new file in `dir` (made when missing) for an acceptable `name`: the name itself, else
/// "stem 2.ext", "stem 3.ext", ... Each name is created exclusively without following a
/// link, so nothing that exists, or appears meanwhile, is opened or replaced.
Result<CreatedFile> createDownload(const std::filesystem::path& dir, const std::string& name);

}  // namespace df::phone
