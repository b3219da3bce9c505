#pragma once
// The server's record of failed authentications per remote, with the lock-out schedule:
// from the 5th failure in a row a remote is locked for 2^(count-4) seconds, at most 300.
// A success forgets the remote. Above 64 entries, every entry that is not locked is
// forgotten. Server queue only; times are uptime seconds.

#include <cstddef>
#include <map>
#include <string>

namespace df {

class FailureRecord {
public:
    struct Entry {
        long long count = 0;
        double lockUntil = 0;
    };

    static constexpr long long failThreshold = 5;
    static constexpr double maxLockSeconds = 300;
    static constexpr size_t maxEntries = 64;

    void record(const std::string& source, bool success, double now);
    /// True while `source` is locked out at `now`.
    bool isLocked(const std::string& source, double now) const;
    const Entry* entry(const std::string& source) const;
    size_t size() const { return entries_.size(); }

private:
    std::map<std::string, Entry> entries_;
};

}  // namespace df
