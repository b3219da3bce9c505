#pragma once
// In-memory key store for unit tests, fuzzing and benchmarks: no disk, and the test can
// look at (and damage) the entries directly.

#include "platform/AgentKeychain.h"

#include <map>
#include <mutex>

namespace df::fake {

class MemoryAgentKeychain final : public AgentKeychain {
public:
    void set(const Bytes& data, std::string_view key) override;
    std::optional<Bytes> read(std::string_view key) const override;
    void remove(std::string_view key) override;

    /// Everything stored now.
    std::map<std::string, Bytes, std::less<>> entries() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, Bytes, std::less<>> entries_;
};

}  // namespace df::fake
