#pragma once
// User activity for unit tests: every declaration is recorded with its reason.

#include "platform/UserActivity.h"

#include <mutex>
#include <string>
#include <vector>

namespace df::fake {

class RecordingUserActivity final : public UserActivity {
public:
    void declare(const std::string& reason) override {
        std::lock_guard lock(mutex_);
        reasons_.push_back(reason);
    }

    std::vector<std::string> reasons() const {
        std::lock_guard lock(mutex_);
        return reasons_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> reasons_;
};

}  // namespace df::fake
