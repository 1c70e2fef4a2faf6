#include "audio/output/SilentClock.h"

#include <algorithm>

#include "audio/ThreadName.h"
#include "audio/output/MixRunner.h"
#include "audio/output/RealtimePriority.h"

namespace {
constexpr int64_t kNanosPerSecond = 1'000'000'000;
}

int64_t framesToNanos(int64_t frames, int sampleRate) {
    return frames / sampleRate * kNanosPerSecond +
           frames % sampleRate * kNanosPerSecond / sampleRate;
}

int64_t nanosToFrames(int64_t nanos, int sampleRate) {
    return nanos / kNanosPerSecond * sampleRate +
           nanos % kNanosPerSecond * sampleRate / kNanosPerSecond;
}

SilentClock::SilentClock(std::shared_ptr<MixRunner> runner, int sampleRate, int blockFrames,
                         Clock::time_point from)
    : runner_(std::move(runner)), buffer_(size_t(blockFrames) * 2) {
    thread_ = std::thread([=, this] {
        nameThisThread("cuevox-clock");
        // It keeps the time when a device falls silent, often because the machine is busy:
        // on a starved thread positions would stand still, and a starved clock lets the
        // voices jump past what the decoders have ready.
        makeThreadRealtime(currentThreadId());
        loop(sampleRate, blockFrames, from);
    });
}

SilentClock::~SilentClock() {
    stop_ = true;
    thread_.join();
}

void SilentClock::loop(int sampleRate, int blockFrames, Clock::time_point from) {
    int64_t done = 0;               // frames of time kept since `from`
    Clock::time_point heldSince{};  // when a held start began to wait for the device; none: {}
    while (!stop_ && Clock::now() < from)
        std::this_thread::sleep_for(
            std::min<Clock::duration>(from - Clock::now(), std::chrono::milliseconds(5)));
    while (!stop_) {
        // Paced by the total count, so it never drifts. Far behind (a device that stopped
        // pulling some time ago), the missed time passes unheard: decoders run only so far
        // ahead, and mixing it all would leave every voice waiting for data.
        const int64_t due = nanosToFrames((Clock::now() - from).count(), sampleRate);
        const int64_t behind = due - done - blockFrames;
        if (behind > int64_t(kMaxCatchUpBlocks) * blockFrames) {
            if (runner_->skip(MixRunner::kClock, buffer_.data(), blockFrames, behind))
                done += behind;
        }
        if (runner_->owner() != MixRunner::kClock) {
            // A device has the time (or is about to be given it back): nothing to keep.
            std::this_thread::sleep_for(
                std::chrono::nanoseconds(framesToNanos(blockFrames, sampleRate)));
            continue;
        }
        if (hold_.load(std::memory_order_acquire)) {
            if (heldSince == Clock::time_point{} && !runner_->quiet()) {
                // Sound was playing already: its time matters more than a start's opening.
                hold_.store(false, std::memory_order_relaxed);
            } else {
                // Takes in what was sent without mixing it: a cue that now plays has not
                // begun, and the device that comes takes it from its first frame.
                const bool plays = runner_->applyCommands(MixRunner::kClock);
                const auto now = Clock::now();
                if (!plays)
                    heldSince = Clock::time_point{};
                else if (heldSince == Clock::time_point{})
                    heldSince = now;
                if (!plays || now - heldSince < kMaxHold) {
                    from = now;
                    done = 0;
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    continue;
                }
                hold_.store(false, std::memory_order_relaxed);  // no device came: time goes on
            }
        } else {
            heldSince = Clock::time_point{};
        }
        if (runner_->run(MixRunner::kClock, buffer_.data(), blockFrames)) done += blockFrames;
        std::this_thread::sleep_until(from +
                                      std::chrono::nanoseconds(framesToNanos(done, sampleRate)));
    }
}
