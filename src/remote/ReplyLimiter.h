#pragma once

#include <chrono>
#include <string>
#include <unordered_map>

// How many state replies one address may get. The sender's address of a UDP packet is only
// claimed, so without a limit anyone could aim the show's replies at a third machine. Each
// address has a bucket that holds a burst and refills at a steady rate: a monitor that asks a
// few times a second, or a handful of subscribers on one machine, never meets it.
class ReplyLimiter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr double kBurst = 80;
    static constexpr double kPerSecond = 40;

    // True when a reply to `host` may go now (and counts it).
    bool allow(const std::string& host, Clock::time_point now = Clock::now());

private:
    struct Bucket {
        double tokens = kBurst;
        Clock::time_point filled;
    };
    // Addresses whose bucket is full again hold nothing worth keeping; spoofed senders would
    // otherwise grow the table without end.
    void forgetIdle(Clock::time_point now);

    std::unordered_map<std::string, Bucket> buckets_;
};
