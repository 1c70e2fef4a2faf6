#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

// Thins, in the kernel, the state questions of a sender that floods with them. Whatever the
// receiving thread reads costs the kernel about as much again, and a flood read at that price
// fills the socket's buffer until a desk's Go is dropped with it. A socket filter runs as a
// packet arrives, before it takes any room: from a sender whose questions are already past the
// reply limit, it lets one question in kKeepOneIn through (enough for the answers the limit
// allows) and everything else as it is. Unprivileged (classic BPF).
class QuestionFilter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned kKeepOneIn = 64;
    // Questions refused in a second that make a sender a flooder.
    static constexpr long kFlood = 200;
    static constexpr std::size_t kMaxFlooders = 8;

    explicit QuestionFilter(int socket) : socket_(socket) {}
    // A question from `address` (network order) went past the reply limit.
    void refused(uint32_t address, Clock::time_point now);
    // Once a second while a sender is thinned: one that has stopped is let through again.
    // Returns when to be called next; negative when nobody is thinned.
    std::chrono::milliseconds review(Clock::time_point now);
    const std::vector<uint32_t>& flooders() const { return flooders_; }

private:
    void install();

    int socket_;
    std::vector<uint32_t> flooders_;
    std::map<uint32_t, long> refusals_;
    Clock::time_point since_{};
};
