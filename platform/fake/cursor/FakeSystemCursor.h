#pragma once
// A scriptable system cursor for unit tests: the test sets the standard images the host
// draws and shows cursors; observers hear of each change.

#include "platform/SystemCursor.h"

#include <map>
#include <mutex>

namespace df::fake {

class FakeSystemCursor final : public SystemCursor {
public:
    std::optional<CursorImage> currentCursor() override {
        std::lock_guard lock(mutex_);
        ++reads_;
        return current_;
    }
    std::vector<CursorImage> standardImages(const std::string& name) override {
        std::lock_guard lock(mutex_);
        auto it = standard_.find(name);
        return it == standard_.end() ? std::vector<CursorImage>{} : it->second;
    }
    std::unique_ptr<Observation> observeChanges(std::function<void()> onChange) override {
        return observers_.add(std::move(onChange));
    }

    void setStandard(const std::string& name, std::vector<CursorImage> images) {
        std::lock_guard lock(mutex_);
        standard_[name] = std::move(images);
    }
    /// Shows `cursor` (nothing: the host cannot tell) and reports the change.
    void show(std::optional<CursorImage> cursor) {
        {
            std::lock_guard lock(mutex_);
            current_ = std::move(cursor);
        }
        observers_.notify();
    }
    int reads() const {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    size_t observerCount() const { return observers_.size(); }

    /// A small image whose pixels are all `fill`, for tests that need distinct pictures.
    static CursorImage image(uint32_t fill, std::string name = {}, int size = 4) {
        CursorImage c;
        c.name = std::move(name);
        c.width = c.height = size;
        c.argb.assign(static_cast<size_t>(size) * static_cast<size_t>(size), fill);
        return c;
    }

private:
    mutable std::mutex mutex_;
    std::optional<CursorImage> current_;
    std::map<std::string, std::vector<CursorImage>> standard_;
    int reads_ = 0;
    ObserverList<> observers_;
};

}  // namespace df::fake
