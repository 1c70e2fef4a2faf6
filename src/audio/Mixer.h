#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/CuePlan.h"
#include "audio/SpscQueue.h"

struct Voice;
struct VoiceRt;

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
        Replace,
        // The cue's plan (cut end, fades, chains): carried out by the mixer from now on.
        SetPlan,
        // Starts the voice's next cue `frame` frames after the voice's first frame (or after
        // now when the voice is not just starting): extend play fired again.
        Follow,
        // The device channels the voice's left (`frame`) and right (`count`) go to, after its
        // pan, and the level of each (`value`, `gain`).
        SetRoute,
        // The voice holds its place (falling silent over a few ms), its fades and the chains it
        // set off holding with it; Resume goes on from that very frame, rising as it starts.
        Pause,
        Resume,
        // No voice: every chained start waiting is held (`value` non-zero) or let go.
        HoldFollows,
        // No voice: every chained start waiting is called off.
        CancelFollows,
        // No voice: the level of the whole mix (`value`, linear), reached over a glide.
        SetMaster
    };
    // Play: the ramp from `gain` to `value` is a tracked fade-in. Ramp: a fade-out that
    // stops the voice at silence, tracked (the row shows it) or not.
    // Ramp with kRestart: the cue was started again while it plays, so a fade-out stop under
    // way is called off; kFromGain: the ramp starts at `gain` rather than the present gain.
    enum Flags : uint8_t {
        kTrackFadeIn = 1,
        kStopAtEnd = 2,
        kTracked = 4,
        kRestart = 8,
        kFromGain = 16,
        kFromRunStart = 32  // Follow: counted from the first frame of the run
    };
    Type type = Type::Add;
    Voice* voice = nullptr;
    Voice* from = nullptr;  // Replace: the voice whose state `voice` takes over
    int64_t frame = 0;      // Play, Seek: position; Follow: delay
    int64_t count = 0;      // Play, SetLoops: loops; Ramp: length in frames
    float value = 0.0f;     // SetGain, Ramp: gain; SetPan: pan; Play: gain the ramp ends at
    float gain = 0.0f;      // Play, Ramp with kFromGain: gain of the first frame
    int64_t ramp = 0;       // Play: frames from `gain` to `value`
    uint8_t flags = 0;
    uint64_t generation = 0;  // Play
    uint64_t sequence = 0;
    CuePlan plan{};  // SetPlan
};

// What the mixer did by itself, for the window to show. `mixFrame` is the mix frame it
// happened at.
struct EngineEvent {
    enum class Type : uint8_t {
        Ended,           // the file's end after the last pass
        Started,         // a chained start (extend play, persist through)
        FadeInDone,      // a tracked fade-in reached its level
        FadeOutStarted,  // the automatic fade-out before the end began
        FadeOutDone,     // a fade-out stop reached silence and stopped the cue
        CutEnd           // the cue reached its cut end
    };
    Type type = Type::Ended;
    uint32_t voiceId = 0;
    uint64_t generation = 0;
    int64_t mixFrame = 0;
    // FadeOutDone: the fade the row showed, not a plain stop's. Started: a fade-in runs.
    bool tracked = false;
};
using EndEvent = EngineEvent;

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

    // Audio thread: overwrites out with `frames` interleaved frames of `channels` channels
    // (2 to kMaxChannels). Unless `metered` is false (a block heard nowhere), the channels'
    // levels are measured for the meters.
    void process(float* out, int frames, int channels = 2, bool metered = true);
    // Audio thread: applies pending commands without rendering.
    void applyCommands();
    // Audio thread, for an output that has already queued the sound of the voices playing:
    // applies pending commands and adds to `out` the first `frames` of only the voices they
    // start, so that those join the queued sound rather than wait behind it. The next
    // process() goes on after them. False, `out` untouched, when nothing started.
    bool startEarly(float* out, int frames, int channels = 2);
    // Any thread: a Play was sent since the audio thread last took commands in.
    bool startSent() const { return startSent_->load(std::memory_order_relaxed); }
    // The same flag, for a reader that may outlive the mixer (a stream being given up).
    std::shared_ptr<const std::atomic<bool>> startSentFlag() const { return startSent_; }
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

    // Any thread: each output channel's peak since the last read and RMS over the last block
    // mixed while something played, for up to `most` channels; returns the device's count.
    int readMeters(float* peaks, float* rms, int most);
    // The channel count of the device mixed for last (2 before the first block).
    int outputChannels() const { return meterChannels_.load(std::memory_order_relaxed); }

    SpscQueue<EngineEvent>& endEvents() { return ends_; }
    // Set once, before commands flow: called on the audio thread (it must not block) when an
    // event was queued, so that whoever delivers them wakes.
    void setEventHook(std::function<void()> hook) { eventHook_ = std::move(hook); }
    // Set once, before commands flow: called on the audio thread (it must not block) at the end
    // of a block in which a playing voice wants its decoder: it used half of what was decoded
    // ahead of it, moved to another place, or ran out.
    void setDecodeHook(std::function<void()> hook) { decodeHook_ = std::move(hook); }
    // Mix frames rendered so far (audio thread; published after every block).
    int64_t mixFrame() const { return mixFramePublished_.load(std::memory_order_acquire); }
    // Chained starts waiting for their frame; a full table drops the newest (counted).
    static constexpr int kMaxFollows = 256;
    uint64_t droppedFollows() const { return droppedFollows_.load(); }
    // Chained starts still to come: those sent and not taken in yet, and those waiting for
    // their frame as of the last block.
    int pendingFollows() const {
        return int(followsSent_.load() - followsTaken_.load(std::memory_order_acquire)) +
               followsPending_.load(std::memory_order_relaxed);
    }
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

    static constexpr int kMaxChannels = 64;
    // Voices removed per block at most: a list reloaded while a cue plays spreads its removals
    // over blocks rather than overrun one.
    static constexpr int kMaxRemovalsPerBlock = 256;

private:
    struct Route {
        int left, right;
        float levelLeft, levelRight;
    };
    // Where a voice is heard on this device.
    Route routeOf(const VoiceRt& r) const;
    void measure(const float* out, int frames);
    void clearMeters();
    struct Meter {
        std::atomic<float> peak{0.0f};
        std::atomic<float> rms{0.0f};
    };

    void applyCommands(bool all);
    void replaceVoice(Voice& to, Voice& from);
    void render(Voice& v, float* out, int frames);
    void renderActive(float* out, int frames);
    // Frames the voice may play before its next timed event (cut end, automatic fade-out,
    // end of a ramp that stops or is heard of); acts on an event that is due now.
    int64_t timeline(Voice& v, int64_t limit);
    void stopByTimeline(Voice& v, EngineEvent::Type why, bool tracked);
    void report(Voice& v, EngineEvent::Type type, bool tracked = false);
    // Starts a run, from the window's Play or from a chain. `at` is the mix frame of its
    // first frame.
    void startRun(Voice& v, int64_t position, float gain, float target, int64_t ramp,
                  bool trackFadeIn, int64_t at);
    void startChained(Voice& v, int64_t at);
    void jumpTo(Voice& v, int64_t position);
    void addFollow(Voice& source, int64_t due);
    // Chains due before `end`, in due order; a started voice is mixed from its frame on.
    void fireFollows(float* out, int64_t blockStart, int64_t end);
    void forgetVoice(Voice& v);
    // Points `v`'s plan at `next`, keeping the chainedFrom links of both ends.
    static void chainTo(Voice& v, Voice* next);
    // Whether the committed commands act only on what is not heard yet (starts from silence,
    // their seeks, plans, routes), so that they may all take effect over queued sound.
    bool onlyStartsPending() const;
    void renderTail(Voice& v, float* out, int frames);
    void dropNonFinite(float* out, int frames) const;
    // Finds chunk `chunk` and marks it as being read; -1 when it isn't decoded.
    static int acquireChunk(Voice& v, int64_t chunk);
    static void releaseChunk(Voice& v);
    void endOfPass(Voice& v);
    void setRamp(VoiceRt& r, float target, int64_t length);
    void publish(Voice& v);
    void addActive(Voice& v);

    const int sampleRate_;
    int channels_ = 2;  // audio thread: of the block being mixed
    std::array<Meter, kMaxChannels> meters_;
    std::atomic<int> meterChannels_{2};
    bool metersLive_ = false;
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
    std::shared_ptr<std::atomic<bool>> startSent_ = std::make_shared<std::atomic<bool>>(false);

    struct Follow {
        Voice* source;
        int64_t due;
    };
    // A chain waits and its due frame moves on with the time while its cue is paused, or all
    // chains are held.
    bool held(const Follow& f) const;
    void pauseVoice(Voice& v, bool pause);
    // Tells each voice when its earliest waiting chain is due, so the window can count down.
    void publishFollows();
    void applyMaster(float* out, int frames);
    Follow follows_[kMaxFollows];
    int followCount_ = 0;
    // The voices whose followDue was last published as waiting.
    Voice* followShown_[kMaxFollows];
    int followShownCount_ = 0;
    bool holdFollows_ = false;
    double masterGain_ = 1.0;
    double masterStep_ = 0.0;
    int masterLeft_ = 0;
    float masterTarget_ = 1.0f;
    std::atomic<uint64_t> droppedFollows_{0};
    std::atomic<int> followsPending_{0};
    std::atomic<uint64_t> followsSent_{0}, followsTaken_{0};
    uint64_t followsTakenUnpublished_ = 0;
    // Frames of queued sound a start is written over (startEarly), while its commands are
    // taken in: the run begins that much before the mix frame.
    int64_t earlyFrames_ = 0;
    int64_t mixFrame_ = 0;     // audio thread: the frame the next sample mixed is
    int64_t renderStart_ = 0;  // audio thread: the mix frame of out[0] in render()
    std::atomic<int64_t> mixFramePublished_{0};
    std::function<void()> eventHook_;
    bool eventQueued_ = false;
    std::function<void()> decodeHook_;
    bool decodeWanted_ = false;  // audio thread: call decodeHook_ at the end of this block
    // Audio thread: the voice's playhead entered `chunk`; asks for a decoder where it is due.
    void enterChunk(Voice& v, int64_t chunk, bool missing);
};
