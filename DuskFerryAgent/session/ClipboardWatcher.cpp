#include "DuskFerryAgent/session/ClipboardWatcher.h"

namespace df {

ClipboardWatcher::ClipboardWatcher(std::shared_ptr<Pasteboard> pasteboard, std::shared_ptr<DispatchQueue> queue,
                                   Send send)
    : pasteboard_(std::move(pasteboard)), queue_(std::move(queue)), send_(std::move(send)) {}

ClipboardWatcher::~ClipboardWatcher() = default;

std::shared_ptr<ClipboardWatcher> ClipboardWatcher::start(std::shared_ptr<Pasteboard> pasteboard,
                                                          std::shared_ptr<DispatchQueue> queue, Send send) {
    std::shared_ptr<ClipboardWatcher> self(
        new ClipboardWatcher(std::move(pasteboard), std::move(queue), std::move(send)));
    // Whatever is on the clipboard already was not copied for the phone.
    self->lastPasteboardChange_ = self->pasteboard_->changeCount();
    std::weak_ptr<ClipboardWatcher> weak = self;
    auto queueRef = self->queue_;
    // The host's thread: only hop to the session queue.
    self->observation_ = self->pasteboard_->observeChanges([weak, queueRef] {
        queueRef->post([weak] {
            if (auto watcher = weak.lock()) watcher->tick();
        });
    });
    return self;
}

void ClipboardWatcher::stop() {
    stopped_ = true;
    observation_.reset();
}

void ClipboardWatcher::tick() {
    if (stopped_) return;
    const int64_t count = pasteboard_->changeCount();
    if (count == lastPasteboardChange_) return;
    // Consumed now, whatever the text turns out to be: a text too long is not read again.
    lastPasteboardChange_ = count;
    auto text = pasteboard_->plainText();
    if (!text || text->empty() || *text == lastSyncedClipboard_ || text->size() > maxBytes) return;
    lastSyncedClipboard_ = *text;
    send_(*text);
}

bool ClipboardWatcher::receive(const std::string& text) {
    if (stopped_) return false;
    pasteboard_->clearContents();
    if (!pasteboard_->setPlainText(text)) return false;
    lastPasteboardChange_ = pasteboard_->changeCount();
    lastSyncedClipboard_ = text;
    return true;
}

}  // namespace df
