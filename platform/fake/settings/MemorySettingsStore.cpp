#include "platform/fake/settings/MemorySettingsStore.h"

namespace df::fake {

std::optional<std::string> MemorySettingsStore::string(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end() || !std::holds_alternative<std::string>(it->second)) return std::nullopt;
    return std::get<std::string>(it->second);
}

std::optional<bool> MemorySettingsStore::boolean(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end() || !std::holds_alternative<bool>(it->second)) return std::nullopt;
    return std::get<bool>(it->second);
}

void MemorySettingsStore::setString(std::string_view key, std::string_view value) {
    std::lock_guard lock(mutex_);
    values_[std::string(key)] = std::string(value);
    ++writes_;
}

void MemorySettingsStore::setBoolean(std::string_view key, bool value) {
    std::lock_guard lock(mutex_);
    values_[std::string(key)] = value;
    ++writes_;
}

void MemorySettingsStore::remove(std::string_view key) {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end()) values_.erase(it);
    ++writes_;
}

std::map<std::string, MemorySettingsStore::Value, std::less<>> MemorySettingsStore::values() const {
    std::lock_guard lock(mutex_);
    return values_;
}

size_t MemorySettingsStore::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

}  // namespace df::fake
