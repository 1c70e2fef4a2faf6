#include "audio/DecoderPool.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <ctime>

#include "audio/ThreadName.h"
#include "audio/Voice.h"
#include "audio/output/RealtimePriority.h"

namespace {
// Chunks decoded for one voice before the worker moves on to the next, so that one voice's
// seek can't starve the others.
constexpr int kChunksPerVisit = 4;
// Nothing is due on a timer: every start, seek and prepare wakes the workers, and the mixer
// wakes one whenever a playing voice has used half of what is decoded ahead of it (about half
// a second), jumps, or runs out. What is left (freeing removed voices, closing the files of
// stopped ones) can wait this long, which is also the most a lost wake could cost a playing
// voice: less than what it has decoded ahead.
constexpr auto kPoll = std::chrono::milliseconds(500);
// A played voice asks for its worker again once this many chunks of what was decoded ahead of
// it are used: half, so the worker has the other half's time to catch up.
constexpr int64_t kRefillChunks = kAheadChunks / 2;

struct Wanted {
    std::array<int64_t, kSlotCount> chunks{};
    int count = 0;
    bool contains(int64_t c) const {
        return std::find(chunks.begin(), chunks.begin() + count, c) != chunks.begin() + count;
    }
    void add(int64_t c) {
        if (count < kSlotCount && !contains(c)) chunks[size_t(count++)] = c;
    }
};

// The chunk a sequential decode toward `chunk` should start from: a start point's chunk when
// `chunk` lies in the run that follows it, so a run is always decoded from the same seek and
// its chunks join seamlessly even where a format's seeking is approximate.
int64_t runStart(const Voice& v, int64_t chunk) {
    int64_t base = chunk;
    for (int64_t anchor : {int64_t(0), v.anchorA.load(), v.anchorB.load()}) {
        if (anchor < 0) continue;
        const int64_t a = anchor / kChunkFrames;
        if (a <= chunk && chunk - a <= kAnchorChunks + kAheadChunks && a < base) base = a;
    }
    return base;
}

// Decoded ahead of a playing voice's playhead below this many chunks (a third of a second),
// its worker turns real-time until the voice is safe again. Not before: a real-time decoder
// runs ahead of every normal thread, the sound server's own among them where that server
// isn't real-time itself, and a decoder filling a second of buffer in one go would hold the
// server up longer than its buffer lasts.
constexpr int kLowChunks = 4;

// A voice that is starting, or would run dry within kLowChunks: its next chunks, looping back
// to the start of the file after the last, are not all decoded.
bool runningLow(const Voice& v) {
    if (v.starting.load(std::memory_order_acquire)) return true;
    if (!v.active.load(std::memory_order_acquire)) return false;
    const int64_t last = v.lastChunk.load(std::memory_order_acquire);
    const bool loops = v.loopsLeft.load(std::memory_order_relaxed) != 0;
    int64_t c = v.playhead.load(std::memory_order_acquire) / kChunkFrames;
    for (int j = 0; j < kLowChunks; ++j, ++c) {
        if (last >= 0 && c > last) {
            if (!loops) return false;
            c = 0;
        }
        if (!v.hasChunk(c)) return true;
    }
    return false;
}

int pickVictim(Voice& v, const Wanted& wanted) {
    for (int pass = 0; pass < 2; ++pass) {
        for (int s = 0; s < kSlotCount; ++s) {
            ChunkSlot& slot = v.cache[s];
            const int64_t tag = slot.tag.load(std::memory_order_acquire);
            if (tag == kSlotWriting) continue;
            if (pass == 0 && tag != kSlotEmpty) continue;  // empty slots first
            if (tag >= 0 && wanted.contains(tag)) continue;
            slot.tag.store(kSlotWriting, std::memory_order_seq_cst);
            if (v.hazard.load(std::memory_order_seq_cst) == s) {
                slot.tag.store(tag, std::memory_order_release);  // being read: leave it
                continue;
            }
            return s;
        }
    }
    return -1;
}

bool decodeChunk(Voice& v, int64_t chunk, const Wanted& wanted) {
    // The file can't be read (deleted, moved, its share gone): the decoder is dropped so that
    // the next try opens afresh, and the run ends where the decoded audio does.
    auto fail = [&v](std::string why) {  // a copy: it may live in the decoder reset here
        v.decoder.reset();
        v.noteFailure(why);
        return false;
    };
    if (!v.decoder) {
        std::string why;
        v.decoder = AudioDecoder::open(v.path, v.sampleRate, &why, false);
        if (!v.decoder) return fail(why);
    }
    AudioDecoder& d = *v.decoder;
    const int64_t target = chunk * kChunkFrames;
    if (d.position() != target) {
        const int64_t base = runStart(v, chunk) * kChunkFrames;
        if ((d.position() < base || d.position() > target) && !d.seekTo(base))
            return fail(d.lastError());
        if (!d.seekTo(target)) return fail(d.lastError());
    }
    const int s = pickVictim(v, wanted);
    if (s < 0) return false;
    ChunkSlot& slot = v.cache[s];
    bool atEnd = false;
    const int n = d.read(slot.data, kChunkFrames, &atEnd);
    if (atEnd && d.readFailed()) {
        // A read error is not the end of the file: publish neither the chunk nor an end.
        slot.tag.store(kSlotEmpty, std::memory_order_release);
        return fail(v.path + ": read error");
    }
    slot.frames = n;
    slot.last = atEnd;
    if (atEnd) {
        int64_t known = v.lastChunk.load();
        while ((known < 0 || chunk < known) && !v.lastChunk.compare_exchange_weak(known, chunk)) {
        }
    }
    slot.tag.store(chunk, std::memory_order_release);
    return true;
}
}  // namespace

DecoderPool::DecoderPool(int threads) {
    sem_init(&wakeUp_, 0, 0);
    for (int i = 0; i < threads; ++i)
        threads_.emplace_back([this, i] {
            nameThisThread("cuevox-decode");
            loop(i);
        });
}

DecoderPool::~DecoderPool() {
    shutdown();
    sem_destroy(&wakeUp_);
}

void DecoderPool::shutdown() {
    stopping_.store(true);
    wake();
    for (auto& t : threads_) t.join();
    threads_.clear();
}

void DecoderPool::add(std::shared_ptr<Voice> voice) {
    {
        std::lock_guard lock(mutex_);
        voices_.push_back(std::move(voice));
    }
    wake();
}

void DecoderPool::remove(const Voice* voice) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(voices_.begin(), voices_.end(),
                           [voice](const auto& p) { return p.get() == voice; });
    if (it != voices_.end()) {
        *it = std::move(voices_.back());
        voices_.pop_back();
    }
}

void DecoderPool::wake() {
    // One post a worker: a busy one takes its post when it next waits, and looks once more.
    for (size_t i = 0; i < threads_.size(); ++i) sem_post(&wakeUp_);
}

void DecoderPool::nudge() {
    sem_post(&wakeUp_);
}

void DecoderPool::setHousekeeping(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    housekeeping_ = std::move(work);
}

void DecoderPool::setFailureHandler(std::function<void(uint32_t, const std::string&)> handler) {
    std::lock_guard lock(mutex_);
    failureHandler_ = std::move(handler);
}

bool DecoderPool::service(Voice& v) {
    Wanted wanted;
    const bool playing = v.active.load(std::memory_order_acquire);
    const bool starting = v.starting.load(std::memory_order_acquire);
    const bool active = playing || starting;
    const int64_t last = v.lastChunk.load(std::memory_order_acquire);
    const int64_t head = playing ? v.playhead.load(std::memory_order_acquire)
                                 : v.startFrame.load(std::memory_order_acquire);
    if (active) {
        const bool loops = v.loopsLeft.load(std::memory_order_relaxed) != 0;
        int64_t c = head / kChunkFrames;
        for (int j = 0; j < kAheadChunks; ++j, ++c) {
            if (last >= 0 && c > last) {
                if (!loops) break;
                c = 0;
            }
            wanted.add(c);
        }
    }
    for (int64_t anchor : {v.anchorA.load(), v.anchorB.load()}) {
        if (anchor < 0) continue;
        for (int64_t c = anchor / kChunkFrames, j = 0; j < kAnchorChunks; ++j, ++c) {
            if (last >= 0 && c > last) break;
            wanted.add(c);
        }
    }
    int decoded = 0;
    for (int i = 0; i < wanted.count && decoded < kChunksPerVisit; ++i) {
        if (v.hasChunk(wanted.chunks[size_t(i)])) continue;
        if (!decodeChunk(v, wanted.chunks[size_t(i)], wanted)) break;
        ++decoded;
    }
    // Served: the mixer asks again once half of what is ahead is used (a voice that isn't
    // playing asks as soon as it plays).
    v.refillAt.store(active ? head / kChunkFrames + kRefillChunks : 0, std::memory_order_relaxed);
    v.refillAsked.store(false, std::memory_order_release);
    if (decoded == 0 && !active && v.decoder) {
        // Everything a stopped player needs is in memory: give back the file and the codec.
        v.decoder.reset();
    }
    return decoded > 0;
}

void DecoderPool::loop(int index) {
    std::vector<std::shared_ptr<Voice>> snapshot;
    DecoderUrgency urgency;
    for (;;) {
        std::function<void()> housekeeping;
        bool anyActive = false;
        {
            // Only the voices with work are copied out: with thousands of cues loaded, most
            // are stopped and settled.
            std::lock_guard lock(mutex_);
            if (stopping_.load()) return;
            if (index == 0) housekeeping = housekeeping_;
            for (const auto& v : voices_) {
                const bool active = v->active.load(std::memory_order_acquire) ||
                                    v->starting.load(std::memory_order_acquire);
                anyActive |= active;
                if (active || v->dirty.load(std::memory_order_acquire)) snapshot.push_back(v);
            }
        }
        bool worked = false;
        for (auto& v : snapshot) {
            if (v->busy.exchange(true, std::memory_order_acquire)) continue;
            const bool urgent = runningLow(*v);
            if (urgent) urgentVisits_.fetch_add(1, std::memory_order_relaxed);
            urgency.set(urgent);
            v->dirty.store(false, std::memory_order_release);
            const bool more = service(*v);
            if (more) v->dirty.store(true, std::memory_order_release);
            if (v->failureUnreported.exchange(false, std::memory_order_acquire)) {
                std::function<void(uint32_t, const std::string&)> report;
                {
                    std::lock_guard lock(mutex_);
                    report = failureHandler_;
                }
                if (report) report(v->id, v->failure);
            }
            worked |= more;
            v->busy.store(false, std::memory_order_release);
        }
        snapshot.clear();
        if (!anyActive) urgency.set(false);
        if (housekeeping) housekeeping();
        if (worked) continue;
        timespec until{};
        clock_gettime(CLOCK_MONOTONIC, &until);
        const auto poll = std::chrono::nanoseconds(kPoll).count();
        until.tv_sec += time_t((until.tv_nsec + poll) / 1000000000);
        until.tv_nsec = long((until.tv_nsec + poll) % 1000000000);
        while (sem_clockwait(&wakeUp_, CLOCK_MONOTONIC, &until) != 0 && errno == EINTR) {
        }
    }
}
