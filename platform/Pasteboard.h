#pragma once
// The host's general clipboard as plain text, with a change count: a number that grows
// whenever the clipboard gets new contents (another application copied, or this agent wrote),
// so that a reader can tell "changed" from "the same" without reading the text.
//
// Linux: the X11 CLIPBOARD selection on a connection and thread of its own
// (platform/linux/clipboard); tests: fake::FakePasteboard. Every operation may be called
// from any thread.

#include "platform/Observation.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace df {

class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    /// The current change count.
    virtual int64_t changeCount() = 0;
    /// The clipboard's plain text (UTF-8); nothing when it holds no text or cannot be read.
    virtual std::optional<std::string> plainText() = 0;
    /// Empties the clipboard (the change count grows).
    virtual void clearContents() = 0;
    /// Puts `text` on the clipboard as plain text; the change count has grown by the time this
    /// returns. False when the host refused it.
    virtual bool setPlainText(const std::string& text) = 0;
    /// `onChange` is called (on the host's thread) after another application changed the
    /// clipboard, once the change count has grown. The agent's own writes are not reported.
    virtual std::unique_ptr<Observation> observeChanges(std::function<void()> onChange) = 0;
};

}  // namespace df
