#pragma once
// The server's record of failed pairing attempts per source (an IPv4 address, or the /64
// network of an IPv6 address), with the lock-out schedule: from the 5th failure a source is
// locked for 2^(count-4) seconds, at most 300. Counts fade: once a source has been quiet
// (and unlocked) for decaySeconds, one failure is forgiven, and so on. A success forgets
// the source. Attempts still under way count towards the threshold, so parallel attempts
// from one source cannot all be admitted before the first failure is recorded. Above
// maxEntries the least recently used entry without an attempt under way is evicted; counts
// of other sources are never reset wholesale.
//
// Beside the per-source record it keeps a global level of failures that drains at
// budgetDrainPerSecond: above failureBudget the server is under a distributed attack and
// slows every new unauthenticated handshake until the level has fallen to half the budget.
//
// Server queue only; times are uptime seconds.

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

namespace df {

class FailureRecord {
public:
    struct Entry {
        long long count = 0;
        double lockUntil = 0;
        /// Attempts admitted whose outcome is not known yet.
        int pending = 0;
        /// When the count last changed by a failure or by fading.
        double countedAt = 0;
    };

    static constexpr long long failThreshold = 5;
    static constexpr double maxLockSeconds = 300;
    static constexpr size_t maxEntries = 4096;
    static constexpr double decaySeconds = 120;
    static constexpr double failureBudget = 30;
    static constexpr double budgetDrainPerSecond = 0.25;

    /// Records an outcome. Returns true when this failure pushed the global level over the
    /// budget (the moment to tell the person at the computer).
    bool record(const std::string& source, bool success, double now);
    /// True while `source` may not start another attempt at `now`: it is locked, or the
    /// attempts under way would reach the threshold should they all fail.
    bool isLocked(const std::string& source, double now) const;
    /// An attempt of `source` was admitted / has ended (whatever its outcome).
    void beginAttempt(const std::string& source, double now);
    void endAttempt(const std::string& source);
    /// Whether new unauthenticated handshakes are being slowed at `now`.
    bool overBudget(double now) const;

    const Entry* entry(const std::string& source) const;
    size_t size() const { return entries_.size(); }

private:
    struct Slot {
        Entry entry;
        std::list<std::string>::iterator use;  // position in recency_
    };
    /// The count of `entry` after fading until `now`.
    static long long fadedCount(const Entry& entry, double now);
    Slot& touch(const std::string& source, double now);
    void evictIfFull();
    double levelAt(double now) const;

    std::unordered_map<std::string, Slot> entries_;
    std::list<std::string> recency_;  // most recently used first
    double level_ = 0;
    double levelAt_ = 0;
    bool slowing_ = false;
};

}  // namespace df
