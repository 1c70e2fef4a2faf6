#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/output/MixRunner.h"

// What a device stream reports to the one supervising it. The stream's thread calls fill()
// for every block it plays; the supervisor reads the rest. Shared, so that a stream whose
// close hangs can keep calling it after the supervisor has moved on.
class StreamFeed {
public:
    using Clock = std::chrono::steady_clock;

    StreamFeed(std::shared_ptr<MixRunner> runner, int id) : runner_(std::move(runner)), id_(id) {}

    int id() const { return id_; }
    MixRunner& runner() { return *runner_; }

    // Device thread: the next `frames` frames of the mix, or silence while the stream
    // doesn't own the time. A stream coming back after a stall takes the time back from the
    // silent clock at once, so the sound resumes in this very block.
    void fill(float* out, int frames, int channels = 2) {
        lastCallback_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        callbacks_.fetch_add(1, std::memory_order_relaxed);
        starting_.store(false, std::memory_order_relaxed);
        if (reclaim_.load(std::memory_order_acquire)) runner_->takeFrom(MixRunner::kClock, id_);
        if (!runner_->run(id_, out, frames, channels))
            std::fill(out, out + size_t(frames) * size_t(channels), 0.0f);
    }
    // Device thread: the first block of a stream that starts (or starts over after a flush),
    // written before the server has taken anything from it. The stream stays starting: until
    // the server asks for more, nothing of it has been heard, so the time stands still
    // rather than pass to the silent clock if the server stalls now.
    void prime(float* out, int frames, int channels) {
        if (!runner_->run(id_, out, frames, channels))
            std::fill(out, out + size_t(frames) * size_t(channels), 0.0f);
    }
    // Device thread: a stream that was running starts over (its queue flushed): starting
    // again until the server asks for more.
    void noteRestart() {
        lastCallback_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        starting_.store(true, std::memory_order_relaxed);
    }
    // Device thread: a block the stream plays as silence of its own, with nothing to mix and
    // nothing sent; it shows the stream runs without waking the mixer.
    void idle() {
        lastCallback_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        callbacks_.fetch_add(1, std::memory_order_relaxed);
        starting_.store(false, std::memory_order_relaxed);
    }
    void noteUnderflow() { runner_->noteUnderflow(id_); }
    // The stream failed for good (the server went away, the device was unplugged).
    void noteFailed() {
        failed_.store(true);
        notify();
    }
    // Before another attempt to open, once the failed one is closed.
    void clearFailed() { failed_.store(false); }
    // The stream sleeps (corked, stopped) while nothing plays, or wakes: no callbacks are due
    // while it sleeps, and one that wakes is starting until its first block is mixed.
    void noteAsleep(bool asleep) {
        starting_.store(!asleep);
        asleep_.store(asleep);
        if (!asleep) lastCallback_.store(Clock::now().time_since_epoch().count());
        notify();
    }

    Clock::time_point lastCallback() const {
        return Clock::time_point(Clock::duration(lastCallback_.load(std::memory_order_relaxed)));
    }
    int64_t callbacks() const { return callbacks_.load(std::memory_order_relaxed); }
    bool failed() const { return failed_.load(); }
    bool asleep() const { return asleep_.load(); }
    // Woken for a cue, and the server has not yet asked for its first block.
    bool starting() const { return starting_.load(std::memory_order_relaxed); }
    // Device thread: the silent clock keeps the time for this stream, which takes it back with
    // its next fill().
    bool clockKeepsTime() const {
        return reclaim_.load(std::memory_order_acquire) && runner_->owner() == MixRunner::kClock;
    }
    // Whether a stream that resumes may take the time back from the silent clock.
    void allowReclaim(bool allow) { reclaim_.store(allow, std::memory_order_release); }

    // Set by the supervisor before the stream opens; called from the stream's threads.
    std::function<void()> onChange;

private:
    void notify() {
        if (onChange) onChange();
    }

    std::shared_ptr<MixRunner> runner_;
    const int id_;
    std::atomic<Clock::rep> lastCallback_{Clock::now().time_since_epoch().count()};
    std::atomic<int64_t> callbacks_{0};
    std::atomic<bool> failed_{false};
    std::atomic<bool> asleep_{false};
    std::atomic<bool> starting_{false};
    std::atomic<bool> reclaim_{false};
};

// One way to a device: PortAudio (ALSA hardware), JACK or the sound server's own client
// library. open() and close() may block for as long as a hung sound server makes them: the
// supervisor runs them on threads nothing ever waits for.
class OutputBackend {
public:
    virtual ~OutputBackend() = default;

    // Opens and starts the stream; on failure says why.
    virtual bool open(std::string* why) = 0;
    virtual void close() = 0;
    // Something was sent to the mixer. A stream that sleeps while nothing plays takes it in,
    // and wakes if a voice now plays. Any thread; never waits on the sound server.
    virtual void wake() {}
    // Frames from a block's mix to its sound at the device, as the stream was set up.
    virtual int latencyFrames() const = 0;
    // The device's channels, known once open: how many, and a name for each ("front-left",
    // "aux3", "out_5") for the operator to patch outputs to.
    virtual int channels() const { return 2; }
    virtual std::vector<std::string> channelNames() const { return {"left", "right"}; }
    // A stream that stops asking for sound while its connection stands is kept, rather than
    // reopened, when it can tell a dead connection by itself.
    virtual bool keepThroughStalls() const { return false; }
};

// An output the operator can choose.
struct OutputDevice {
    // Stored in the settings: "pulse:<sink>", "portaudio:<device name>", "jack:".
    std::string id;
    std::string name;  // shown
};
