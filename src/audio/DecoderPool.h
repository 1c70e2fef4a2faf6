#pragma once

#include <semaphore.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct Voice;

// Worker threads that keep every voice's chunk cache filled: the chunks ahead of a playing
// voice's position (wrapping to the start when it loops), and the chunks at each voice's start
// points so that a stopped player starts without decoding. A stopped voice whose start points
// are decoded closes its file. They sleep while every playing voice has enough decoded ahead:
// the mixer wakes one (nudge) when a voice has used half of it or jumped elsewhere.
class DecoderPool {
public:
    explicit DecoderPool(int threads);
    ~DecoderPool();

    // Stops and joins the workers; the destructor does it too.
    void shutdown();

    void add(std::shared_ptr<Voice> voice);
    void remove(const Voice* voice);
    // Have every worker look at the voices now rather than at its next poll.
    void wake();
    // Have one worker look at the voices now. Safe on the audio thread: it neither blocks nor
    // allocates (a semaphore post).
    void nudge();
    // Run by one worker on every pass: drains what the audio thread reported.
    void setHousekeeping(std::function<void()> work);
    // Called on a worker, once for each time a voice's file turns unreadable, with the reason.
    void setFailureHandler(std::function<void(uint32_t voiceId, const std::string& why)> handler);

    // Decodes what the voice needs next, a few chunks at most. Returns true when it decoded
    // something (call again: there may be more). The caller must hold the voice's `busy` flag,
    // or be the only one who knows the voice.
    static bool service(Voice& v);

    // Visits made for a voice that was starting or about to run dry: the ones a worker makes
    // at real-time priority where allowed. Rare while playing voices keep their buffers full.
    uint64_t urgentVisits() const { return urgentVisits_.load(std::memory_order_relaxed); }

private:
    void loop(int index);

    std::mutex mutex_;
    // Counts wakes, so that one posted while a worker is busy is seen when it next waits.
    sem_t wakeUp_;
    std::atomic<bool> stopping_{false};
    std::vector<std::shared_ptr<Voice>> voices_;
    std::function<void()> housekeeping_;
    std::function<void(uint32_t, const std::string&)> failureHandler_;
    std::vector<std::thread> threads_;
    std::atomic<uint64_t> urgentVisits_{0};
};
