#include "remote/ReplyLimiter.h"

#include <algorithm>

namespace {

constexpr std::size_t kTableLimit = 4096;

}  // namespace

bool ReplyLimiter::allow(const std::string& host, Clock::time_point now) {
    if (buckets_.size() >= kTableLimit) forgetIdle(now);
    auto [it, added] = buckets_.try_emplace(host);
    Bucket& bucket = it->second;
    if (added) {
        bucket.filled = now;
    } else {
        const double seconds = std::chrono::duration<double>(now - bucket.filled).count();
        bucket.tokens = std::min(kBurst, bucket.tokens + seconds * kPerSecond);
        bucket.filled = now;
    }
    if (bucket.tokens < 1.0) return false;
    bucket.tokens -= 1.0;
    return true;
}

void ReplyLimiter::forgetIdle(Clock::time_point now) {
    std::erase_if(buckets_, [now](const auto& entry) {
        const double seconds = std::chrono::duration<double>(now - entry.second.filled).count();
        return entry.second.tokens + seconds * kPerSecond >= kBurst;
    });
    // All of them busy at once: a flood of made-up senders. Starting over costs each at most a
    // burst, which is what a fresh address gets anyway.
    if (buckets_.size() >= kTableLimit) buckets_.clear();
}
