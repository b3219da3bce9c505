#pragma once
// In-memory clipboard for unit tests: the test plays another application copying
// (copyFromApp) and reads back what the agent asked of the host.

#include "platform/Pasteboard.h"

#include <mutex>
#include <vector>

namespace df::fake {

class FakePasteboard final : public Pasteboard {
public:
    int64_t changeCount() override {
        std::lock_guard lock(mutex_);
        return count_;
    }
    std::optional<std::string> plainText() override {
        std::lock_guard lock(mutex_);
        ++reads_;
        return text_;
    }
    void clearContents() override {
        std::lock_guard lock(mutex_);
        text_.reset();
        ++count_;
        calls_.push_back("clear");
    }
    bool setPlainText(const std::string& text) override {
        std::lock_guard lock(mutex_);
        calls_.push_back("set:" + text);
        if (refuseWrites_) return false;
        text_ = text;
        ++count_;
        return true;
    }
    std::unique_ptr<Observation> observeChanges(std::function<void()> onChange) override {
        return observers_.add(std::move(onChange));
    }

    /// Another application puts `text` on the clipboard (nothing: a non-text copy); observers
    /// hear of it.
    void copyFromApp(std::optional<std::string> text) {
        {
            std::lock_guard lock(mutex_);
            text_ = std::move(text);
            ++count_;
        }
        observers_.notify();
    }
    /// The change count moves on without news (a host that reports late, or not at all).
    void changeQuietly(std::optional<std::string> text) {
        std::lock_guard lock(mutex_);
        text_ = std::move(text);
        ++count_;
    }
    /// Observers hear again, without a change.
    void notifyAgain() { observers_.notify(); }
    void refuseWrites(bool refuse) {
        std::lock_guard lock(mutex_);
        refuseWrites_ = refuse;
    }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::optional<std::string> text() const {
        std::lock_guard lock(mutex_);
        return text_;
    }
    int reads() const {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    size_t observerCount() const { return observers_.size(); }

private:
    mutable std::mutex mutex_;
    int64_t count_ = 41;
    std::optional<std::string> text_;
    std::vector<std::string> calls_;
    int reads_ = 0;
    bool refuseWrites_ = false;
    ObserverList<> observers_;
};

}  // namespace df::fake
