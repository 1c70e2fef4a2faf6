#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "audio/Mixer.h"

// Runs the mixer for whoever owns the time now: the silent clock or one device stream. Every
// other caller gets nothing to play. A stream being given up may go on calling for a while
// (its close can hang in a frozen sound server); once it has lost the time it never touches
// the mixer again, so the mixer may go away under it.
class MixRunner {
public:
    static constexpr int kNobody = 0;
    static constexpr int kClock = 1;

    explicit MixRunner(Mixer& mixer) : mixer_(mixer), startSent_(mixer.startSentFlag()) {}

    // Mixes `frames` into out when `who` owns the time. Returns false, out untouched, when it
    // doesn't, or when the owner's hand-over is still finishing its last block.
    bool run(int who, float* out, int frames, int channels = 2) {
        if (!enter(who)) return false;
        // The silent clock's blocks are heard nowhere: no levels to show.
        mixer_.process(out, frames, channels, who != kClock);
        quiet_.store(nothingDue(), std::memory_order_relaxed);
        leave();
        return true;
    }

    // Lets `frames` pass unheard; false when `who` doesn't own the time.
    bool skip(int who, float* scratch, int scratchFrames, int64_t frames) {
        if (!enter(who)) return false;
        mixer_.skip(scratch, scratchFrames, frames);
        quiet_.store(nothingDue(), std::memory_order_relaxed);
        leave();
        return true;
    }

    // Takes in what was sent without rendering; for a stream that sleeps while nothing plays.
    // True when something is now playing (or a hand-over to `who` is finishing: ask again by
    // running). False for a keeper without the time: a stream not yet given it has nothing to
    // start for.
    bool applyCommands(int who) {
        if (owner() != who) return false;
        if (!enter(who)) return true;
        mixer_.applyCommands();
        const bool quiet = nothingDue();
        quiet_.store(quiet, std::memory_order_relaxed);
        leave();
        return !quiet;
    }

    // Adds the first `frames` of the voices that pending commands start to `out`, which holds
    // sound already queued at the device; false when `who` doesn't own the time or nothing
    // started.
    bool startEarly(int who, float* out, int frames, int channels = 2) {
        if (!enter(who)) return false;
        const bool started = mixer_.startEarly(out, frames, channels);
        quiet_.store(nothingDue(), std::memory_order_relaxed);
        leave();
        return started;
    }
    // Any thread, the mixer gone or not: its flag is shared with it.
    bool startSent() const { return startSent_->load(std::memory_order_relaxed); }

    // The device reports a block it had to play late; counted only for the owner of the time
    // (a stream being given up may outlive the mixer).
    void noteUnderflow(int who) {
        if (!enter(who)) return;
        mixer_.noteOutputUnderflow();
        leave();
    }

    // No voice was playing or fading out after the last block, and no chained start was due.
    bool quiet() const { return quiet_.load(std::memory_order_relaxed); }

    // Gives the time to `who` and waits out a block the previous owner may be mixing (a few
    // microseconds: the mix never blocks).
    void handTo(int who) {
        owner_.store(who, std::memory_order_seq_cst);
        while (busy_.load(std::memory_order_seq_cst)) std::this_thread::yield();
    }
    // Takes the time from `from` only if it still has it; never waits.
    bool takeFrom(int from, int who) {
        return owner_.compare_exchange_strong(from, who, std::memory_order_seq_cst);
    }
    int owner() const { return owner_.load(std::memory_order_seq_cst); }

private:
    // Marking busy, then checking the owner (both sequentially consistent) pairs with
    // handTo's store-then-wait: either the mixer sees the new owner, or handTo sees it busy.
    // A caller that does not own the time never marks busy (only one racing a hand-over
    // can), so it cannot turn the owner's block into silence by asking at the wrong moment.
    bool enter(int who) {
        if (owner_.load(std::memory_order_seq_cst) != who) return false;
        if (busy_.exchange(true, std::memory_order_seq_cst)) return false;
        if (owner_.load(std::memory_order_seq_cst) != who) {
            busy_.store(false, std::memory_order_release);
            return false;
        }
        return true;
    }
    void leave() { busy_.store(false, std::memory_order_release); }
    // A chain waiting out its delay after its cue ended needs the mix to go on to its frame.
    bool nothingDue() const {
        return mixer_.activeVoices().empty() && mixer_.pendingFollows() == 0;
    }

    Mixer& mixer_;
    const std::shared_ptr<const std::atomic<bool>> startSent_;
    std::atomic<int> owner_{kNobody};
    std::atomic<bool> busy_{false};
    std::atomic<bool> quiet_{true};
};
