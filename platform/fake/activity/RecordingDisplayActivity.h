#pragma once
// Keeping the display awake, for unit tests: records each begin with its reason and how
// many tokens are still held.

#include "platform/DisplayActivity.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace df::fake {

class RecordingDisplayActivity final : public DisplayActivity {
public:
    std::unique_ptr<Token> begin(const std::string& reason) override {
        std::lock_guard lock(state_->mutex);
        state_->reasons.push_back(reason);
        ++state_->held;
        return std::make_unique<Held>(state_);
    }

    std::vector<std::string> reasons() const {
        std::lock_guard lock(state_->mutex);
        return state_->reasons;
    }
    /// Tokens begun and not yet ended.
    int held() const {
        std::lock_guard lock(state_->mutex);
        return state_->held;
    }

private:
    struct State {
        mutable std::mutex mutex;
        std::vector<std::string> reasons;
        int held = 0;
    };
    class Held final : public Token {
    public:
        explicit Held(std::shared_ptr<State> state) : state_(std::move(state)) {}
        ~Held() override {
            std::lock_guard lock(state_->mutex);
            --state_->held;
        }

    private:
        std::shared_ptr<State> state_;
    };

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace df::fake
