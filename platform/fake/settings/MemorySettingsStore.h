#pragma once
// In-memory defaults store for unit tests: the test presets values and reads back what
// the logic wrote (and how often).

#include "platform/SettingsStore.h"

#include <map>
#include <mutex>
#include <variant>

namespace df::fake {

class MemorySettingsStore final : public SettingsStore {
public:
    using Value = std::variant<std::string, bool>;

    std::optional<std::string> string(std::string_view key) const override;
    std::optional<bool> boolean(std::string_view key) const override;
    void setString(std::string_view key, std::string_view value) override;
    void setBoolean(std::string_view key, bool value) override;
    void remove(std::string_view key) override;

    /// Everything stored now.
    std::map<std::string, Value, std::less<>> values() const;
    /// Number of set and remove calls so far.
    size_t writes() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, Value, std::less<>> values_;
    size_t writes_ = 0;
};

}  // namespace df::fake
