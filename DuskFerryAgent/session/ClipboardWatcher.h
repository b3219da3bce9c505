#pragma once
// Text copied on the computer goes to the phone, and the phone's text lands on the computer's
// clipboard without coming back. The watcher remembers the clipboard's change count when it
// starts (what was copied before the phone came is not sent) and, each time the host reports
// a change, reads the plain text and sends it unless it is empty, the text last synced either
// way, or longer than 256 KiB of UTF-8. A change is consumed when it is seen: a text that was
// too long is never retried.
//
// Session queue only, except the host's news, which hops there; nothing runs after stop().

#include "platform/DispatchQueue.h"
#include "platform/Pasteboard.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace df {

class ClipboardWatcher : public std::enable_shared_from_this<ClipboardWatcher> {
public:
    using Send = std::function<void(const std::string& text)>;
    /// Largest text sent, in UTF-8 bytes.
    static constexpr size_t maxBytes = 262144;

    /// Starts watching; `send` is called on `queue` with each text for the phone.
    static std::shared_ptr<ClipboardWatcher> start(std::shared_ptr<Pasteboard> pasteboard,
                                                   std::shared_ptr<DispatchQueue> queue, Send send);
    ~ClipboardWatcher();
    ClipboardWatcher(const ClipboardWatcher&) = delete;
    ClipboardWatcher& operator=(const ClipboardWatcher&) = delete;

    /// Ends the host's news; a change already on its way to the queue is dropped.
    void stop();
    /// The phone's text: the clipboard is emptied and given the text, and both the new change
    /// count and the text are remembered so that neither is sent back. False when the host
    /// refused the text (nothing is remembered then).
    bool receive(const std::string& text);

    int64_t lastPasteboardChange() const { return lastPasteboardChange_; }
    const std::string& lastSyncedClipboard() const { return lastSyncedClipboard_; }

private:
    ClipboardWatcher(std::shared_ptr<Pasteboard> pasteboard, std::shared_ptr<DispatchQueue> queue, Send send);
    void tick();

    std::shared_ptr<Pasteboard> pasteboard_;
    std::shared_ptr<DispatchQueue> queue_;
    Send send_;
    std::unique_ptr<Observation> observation_;
    int64_t lastPasteboardChange_ = 0;
    std::string lastSyncedClipboard_;
    bool stopped_ = false;
};

}  // namespace df
