#include "DuskFerryAgent/session/FailureRecord.h"

#include <algorithm>
#include <cmath>

namespace df {

void FailureRecord::record(const std::string& source, bool success, double now) {
    if (success) {
        entries_.erase(source);
        return;
    }
    Entry previous;
    if (auto it = entries_.find(source); it != entries_.end()) previous = it->second;
    Entry next{previous.count + 1, previous.lockUntil};
    if (next.count >= failThreshold) {
        // 2^(count-4) overflows nothing: the exponent is capped well before the double's range.
        double exponent = static_cast<double>(std::min<long long>(next.count - 4, 64));
        next.lockUntil = now + std::min(std::pow(2.0, exponent), maxLockSeconds);
    }
    entries_[source] = next;
    if (entries_.size() > maxEntries) {
        std::erase_if(entries_, [now](const auto& kv) { return !(kv.second.lockUntil > now); });
    }
}

bool FailureRecord::isLocked(const std::string& source, double now) const {
    auto it = entries_.find(source);
    return it != entries_.end() && now < it->second.lockUntil;
}

const FailureRecord::Entry* FailureRecord::entry(const std::string& source) const {
    auto it = entries_.find(source);
    return it == entries_.end() ? nullptr : &it->second;
}

}  // namespace df
