#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "audio/SpscQueue.h"

struct Voice;

struct MixerCommand {
    enum class Type : uint8_t {
        Add,
        Remove,
        Play,
        Stop,
        Seek,
        SetGain,
        Ramp,
        SetPan,
        SetLoops,
        Replace
    };
    Type type = Type::Add;
    Voice* voice = nullptr;
    Voice* from = nullptr;    // Replace: the voice whose state `voice` takes over
    int64_t frame = 0;        // Play, Seek: position
    int64_t count = 0;        // Play, SetLoops: loops; Ramp: length in frames
    float value = 0.0f;       // SetGain, Ramp: gain; SetPan: pan
    uint64_t generation = 0;  // Play
    uint64_t sequence = 0;
};

struct EndEvent {
    uint32_t voiceId = 0;
    uint64_t generation = 0;
};

// Sums every playing voice into one stereo block. process() is the audio callback's whole
// work: it takes no lock, allocates nothing and never touches a file or a decoder; it reads
// decoded chunks that the workers publish, and learns of changes through a command FIFO.
class Mixer {
public:
    explicit Mixer(int sampleRate, size_t maxVoices = 8192);

    // From any thread but the audio thread; returns the command's sequence number, which the
    // voice publishes as appliedSequence once the audio thread has taken it. Commands sent
    // with commit false wait until the next commit() (or a committed send), so that the audio
    // thread applies them together: a cue's play and the seek to its start point that follows
    // it land in the same block.
    uint64_t send(MixerCommand command, bool commit = true);
    void commit();
    // For tests: runs after every send, on the sending thread (to render between commands as
    // an audio callback could).
    void setAfterSend(std::function<void()> hook);

    // Audio thread: overwrites out with `frames` interleaved stereo frames.
    void process(float* out, int frames);
    // Audio thread: applies pending commands without rendering.
    void applyCommands();
    // Audio thread, for an output that has already queued the sound of the voices playing:
    // applies pending commands and adds to `out` the first `frames` of only the voices they
    // start, so that those join the queued sound rather than wait behind it. The next
    // process() goes on after them. False, `out` untouched, when nothing started.
    bool startEarly(float* out, int frames);
    // Any thread: a Play was sent since the audio thread last took commands in.
    bool startSent() const { return startSent_.load(std::memory_order_relaxed); }
    // Audio thread: lets `frames` frames of time pass unheard, as after a lost device. Voices
    // move on with the clock: where a chunk isn't decoded they skip over it rather than wait.
    void skip(float* scratch, int scratchFrames, int64_t frames);
    // Set once, before commands flow: called when commands are committed, so that an output
    // that sleeps while nothing plays can wake for them.
    void setSendHook(std::function<void()> hook) { sendHook_ = std::move(hook); }

    // Audio thread only (offline rendering waits on these before a block).
    const std::vector<Voice*>& activeVoices() const { return active_; }

    // Blocks the device asked for late, and blocks in which a playing voice had to wait for
    // its decoder. Both should stay at zero.
    void noteOutputUnderflow() { outputUnderflows_.fetch_add(1, std::memory_order_relaxed); }
    uint64_t outputUnderflows() const { return outputUnderflows_.load(); }
    uint64_t decoderUnderruns() const { return decoderUnderruns_.load(); }

    SpscQueue<EndEvent>& endEvents() { return ends_; }
    SpscQueue<Voice*>& retiredVoices() { return retired_; }
    int sampleRate() const { return sampleRate_; }

    // Pan law: centre leaves both sides untouched; towards one side the other side falls
    // along a quarter cosine, reaching silence at the end. Never boosts.
    static void panGains(float pan, float& left, float& right);

    // Length of the fall to silence after a stop (about 2.7 ms at 48 kHz).
    static constexpr int kStopTailFrames = 128;
    // A gain set while playing glides there over this many frames (one device block), so a
    // volume drag has no zipper noise.
    static constexpr int kGainGlideFrames = 512;
    // Commands left uncommitted this long (frames) are applied anyway: a sender that never
    // commits only delays itself.
    static constexpr int kMaxHeldFrames = 4800;

    // The gain the mixer applies for a requested gain: within 0...1, NaN as silence.
    static float safeGain(float gain);

private:
    void applyCommands(bool all);
    void replaceVoice(Voice& to, Voice& from);
    void render(Voice& v, float* out, int frames);
    void renderTail(Voice& v, float* out, int frames);
    static void dropNonFinite(float* out, int frames);
    // Finds chunk `chunk` and marks it as being read; -1 when it isn't decoded.
    static int acquireChunk(Voice& v, int64_t chunk);
    static void releaseChunk(Voice& v);
    void endOfPass(Voice& v);
    void publish(Voice& v);
    void addActive(Voice& v);

    const int sampleRate_;
    bool skipping_ = false;
    std::function<void()> sendHook_;
    std::mutex sendMutex_;  // serialises producers only; the audio thread never takes it
    uint64_t nextSequence_ = 0;
    std::atomic<uint64_t> committed_{0};  // the audio thread applies commands up to this one
    int64_t heldFrames_ = 0;              // audio thread: how long uncommitted ones have waited
    std::function<void()> afterSend_;
    SpscQueue<MixerCommand> commands_;
    SpscQueue<EndEvent> ends_;
    SpscQueue<Voice*> retired_;
    std::vector<Voice*> active_;  // capacity reserved up front: push_back never allocates
    std::atomic<uint64_t> outputUnderflows_{0};
    std::atomic<uint64_t> decoderUnderruns_{0};
    std::atomic<bool> startSent_{false};
};
