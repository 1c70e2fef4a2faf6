#include "remote/Subscribers.h"

#include <algorithm>

bool Subscribers::subscribe(const ReplyTarget& target, Clock::time_point now) {
    expire(now);
    for (Entry& entry : entries_) {
        if (entry.target != target) continue;
        entry.renewed = now;
        return true;
    }
    if (int(entries_.size()) >= kMax) return false;
    entries_.push_back({target, now});
    return true;
}

void Subscribers::unsubscribe(const ReplyTarget& target) {
    std::erase_if(entries_, [&](const Entry& entry) { return entry.target == target; });
}

int Subscribers::expire(Clock::time_point now) {
    return int(std::erase_if(entries_,
                             [&](const Entry& entry) { return now - entry.renewed >= lifetime_; }));
}

std::vector<ReplyTarget> Subscribers::targets() const {
    std::vector<ReplyTarget> out;
    for (const Entry& entry : entries_) out.push_back(entry.target);
    return out;
}
