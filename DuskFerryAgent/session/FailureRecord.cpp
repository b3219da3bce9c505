#include "DuskFerryAgent/session/FailureRecord.h"

#include <algorithm>
#include <cmath>

namespace df {

long long FailureRecord::fadedCount(const Entry& entry, double now) {
    // Fading starts when the source is both quiet and unlocked.
    double quietSince = std::max(entry.countedAt, entry.lockUntil);
    if (!(now > quietSince)) return entry.count;
    double steps = std::floor((now - quietSince) / decaySeconds);
    if (steps >= static_cast<double>(entry.count)) return 0;
    return entry.count - static_cast<long long>(steps);
}

FailureRecord::Slot& FailureRecord::touch(const std::string& source, double now) {
    auto it = entries_.find(source);
    if (it == entries_.end()) {
        recency_.push_front(source);
        it = entries_.emplace(source, Slot{Entry{0, 0, 0, now}, recency_.begin()}).first;
    } else {
        recency_.splice(recency_.begin(), recency_, it->second.use);
        Entry& e = it->second.entry;
        long long faded = fadedCount(e, now);
        if (faded != e.count) {
            // Keep the unused part of the current fading step.
            double quietSince = std::max(e.countedAt, e.lockUntil);
            e.countedAt = quietSince + static_cast<double>(e.count - faded) * decaySeconds;
            e.count = faded;
        }
    }
    return it->second;
}

void FailureRecord::evictIfFull() {
    while (entries_.size() > maxEntries) {
        // The least recently used entry without an attempt under way; failing that, the
        // least recently used of all.
        auto victim = std::find_if(recency_.rbegin(), recency_.rend(),
                                   [this](const std::string& s) { return entries_.at(s).entry.pending == 0; });
        std::string source = victim != recency_.rend() ? *victim : recency_.back();
        recency_.erase(entries_.at(source).use);
        entries_.erase(source);
    }
}

double FailureRecord::levelAt(double now) const {
    return std::max(0.0, level_ - std::max(0.0, now - levelAt_) * budgetDrainPerSecond);
}

bool FailureRecord::overBudget(double now) const {
    if (!slowing_) return false;
    return levelAt(now) > failureBudget / 2;
}

bool FailureRecord::record(const std::string& source, bool success, double now) {
    if (success) {
        if (auto it = entries_.find(source); it != entries_.end()) {
            if (it->second.entry.pending > 0) {
                // Other attempts of the source are still under way and keep counting.
                it->second.entry.count = 0;
                it->second.entry.lockUntil = 0;
            } else {
                recency_.erase(it->second.use);
                entries_.erase(it);
            }
        }
        return false;
    }
    Entry& e = touch(source, now).entry;
    e.count += 1;
    e.countedAt = now;
    if (e.count >= failThreshold) {
        // 2^(count-4) overflows nothing: the exponent is capped well before the double's range.
        double exponent = static_cast<double>(std::min<long long>(e.count - 4, 64));
        e.lockUntil = now + std::min(std::pow(2.0, exponent), maxLockSeconds);
    }
    evictIfFull();

    bool wasSlowing = overBudget(now);
    if (!wasSlowing) slowing_ = false;  // fell to half the budget since the last failure
    level_ = levelAt(now) + 1;
    levelAt_ = now;
    if (level_ > failureBudget) slowing_ = true;
    return slowing_ && !wasSlowing && overBudget(now);
}

bool FailureRecord::isLocked(const std::string& source, double now) const {
    auto it = entries_.find(source);
    if (it == entries_.end()) return false;
    const Entry& e = it->second.entry;
    if (now < e.lockUntil) return true;
    return e.pending > 0 && fadedCount(e, now) + e.pending >= failThreshold;
}

void FailureRecord::beginAttempt(const std::string& source, double now) {
    touch(source, now).entry.pending += 1;
    evictIfFull();
}

void FailureRecord::endAttempt(const std::string& source) {
    auto it = entries_.find(source);
    if (it == entries_.end()) return;  // forgotten by a success in the meantime
    Entry& e = it->second.entry;
    if (e.pending > 0) e.pending -= 1;
    // An entry that holds nothing any more is dropped rather than left for eviction.
    if (e.pending == 0 && e.count == 0 && e.lockUntil == 0) {
        recency_.erase(it->second.use);
        entries_.erase(it);
    }
}

const FailureRecord::Entry* FailureRecord::entry(const std::string& source) const {
    auto it = entries_.find(source);
    return it == entries_.end() ? nullptr : &it->second.entry;
}

}  // namespace df
