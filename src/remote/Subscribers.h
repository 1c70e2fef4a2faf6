#pragma once

#include <chrono>
#include <vector>

#include "remote/RemoteCommand.h"

// The OSC clients told of every change. A subscription lasts kLifetime from its last
// /cuevox/subscribe: a client that went away (or a subscription sent in someone else's name)
// frees its slot by itself, and a client that stays renews it.
class Subscribers {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kMax = 16;
    static constexpr std::chrono::seconds kLifetime{60};

    // Subscribes or renews; false when every slot is taken by someone else.
    bool subscribe(const ReplyTarget& target, Clock::time_point now = Clock::now());
    void unsubscribe(const ReplyTarget& target);
    // Drops those not renewed in time; returns how many went.
    int expire(Clock::time_point now = Clock::now());
    void clear() { entries_.clear(); }

    bool empty() const { return entries_.empty(); }
    int size() const { return int(entries_.size()); }
    std::vector<ReplyTarget> targets() const;
    // Tests shorten it rather than wait a minute.
    void setLifetime(Clock::duration lifetime) { lifetime_ = lifetime; }

private:
    struct Entry {
        ReplyTarget target;
        Clock::time_point renewed;
    };
    std::vector<Entry> entries_;
    Clock::duration lifetime_ = kLifetime;
};
