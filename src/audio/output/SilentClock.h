#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

class MixRunner;

// Clock arithmetic kept exact for any run the program could have: frames to the time they
// span and back, with no intermediate product that could overflow 64 bits (a year at 48 kHz
// is 1.5e12 frames, 3.2e16 ns).
int64_t framesToNanos(int64_t frames, int sampleRate);
int64_t nanosToFrames(int64_t nanos, int sampleRate);

// Mixes at real-time pace on its own thread and drops the sound: the time keeper while no
// device plays. Started from a moment in the past (when a lost device's sound ran out), it
// lets the missed time pass unheard at once, so positions stay on the wall clock, and goes on
// from there; started from a moment to come (the device still has sound queued), it waits
// for it.
class SilentClock {
public:
    using Clock = std::chrono::steady_clock;
    // Longest backlog mixed as sound would be; beyond it the mixer skips.
    static constexpr int kMaxCatchUpBlocks = 2;

    SilentClock(std::shared_ptr<MixRunner> runner, int sampleRate, int blockFrames,
                Clock::time_point from);
    ~SilentClock();
    SilentClock(const SilentClock&) = delete;
    SilentClock& operator=(const SilentClock&) = delete;

    // While a device is opening and nothing plays, a cue that starts waits for the device,
    // for kMaxHold at most, rather than play its opening into nothing: the time does not move
    // while it waits. Cleared when the device is there (or failed to open).
    void holdStarts(bool hold) { hold_.store(hold, std::memory_order_release); }
    static constexpr auto kMaxHold = std::chrono::seconds(4);

private:
    void loop(int sampleRate, int blockFrames, Clock::time_point from);

    std::shared_ptr<MixRunner> runner_;
    std::vector<float> buffer_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hold_{false};
    std::thread thread_;
};
