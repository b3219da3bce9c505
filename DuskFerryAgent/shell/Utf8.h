#pragma once
// UTF-8 checks on text that came from disk or from the phone. Pure; any thread.

#include <cstddef>
#include <string>
#include <string_view>

namespace df::Utf8 {

bool isValid(std::string_view text);
/// Number of code points; each byte of a malformed sequence counts as one.
size_t length(std::string_view text);
/// The first `count` code points (malformed bytes counted one each), or all of `text`.
std::string_view prefix(std::string_view text, size_t count);
/// Text from the phone made fit for a status line or a terminal: C0 and C1 controls, DEL,
/// line and paragraph separators and bidirectional marks, embeddings, overrides and isolates
/// removed, malformed bytes shown as U+FFFD, and at most `maxLength` code points kept (a cut
/// text ends with "…").
std::string displaySafe(std::string_view text, size_t maxLength);

}  // namespace df::Utf8
