#include "platform/fake/keychain/MemoryAgentKeychain.h"

namespace df::fake {

void MemoryAgentKeychain::set(const Bytes& data, std::string_view key) {
    if (key.empty()) return;
    std::lock_guard lock(mutex_);
    entries_.insert_or_assign(std::string(key), data);
}

std::optional<Bytes> MemoryAgentKeychain::read(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

void MemoryAgentKeychain::remove(std::string_view key) {
    std::lock_guard lock(mutex_);
    if (auto it = entries_.find(key); it != entries_.end()) entries_.erase(it);
}

std::map<std::string, Bytes, std::less<>> MemoryAgentKeychain::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

}  // namespace df::fake
