#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "audio/AudioDecoder.h"
#include "audio/CuePlan.h"

// Decoded audio travels from the decoder workers to the mixer in fixed chunks of output frames
// (float stereo at the engine's rate). Chunk k holds frames [k * kChunkFrames, (k+1) *
// kChunkFrames) of the file.
constexpr int kChunkFrames = 4096;
// Slots per voice: bounds a player's memory (24 * 4096 * 2 * 4 bytes = 768 KiB) whatever the
// file's length.
constexpr int kSlotCount = 24;
// Chunks kept decoded from each start point while the player is stopped, so that play()
// sounds in the next block without touching the decoder (about 256 ms).
constexpr int kAnchorChunks = 3;
// Chunks decoded ahead of the play position (about 1 s).
constexpr int kAheadChunks = 12;

constexpr int64_t kSlotEmpty = -1;
constexpr int64_t kSlotWriting = -2;

struct ChunkSlot {
    // Chunk index once the data is complete (release-stored after the data), or one of the
    // markers above.
    std::atomic<int64_t> tag{kSlotEmpty};
    int frames = 0;     // valid frames; fewer than kChunkFrames only in the file's last chunk
    bool last = false;  // the file ends with this chunk
    float* data = nullptr;
};

// What the mixer keeps per voice. Only the audio thread touches it once the voice is added.
struct VoiceRt {
    bool playing = false;
    bool inActiveList = false;
    int64_t position = 0;  // next frame to play
    int64_t loopsLeft = 0;
    int64_t passes = 0;  // ends of the file met in this run
    double gain = 1.0;
    double rampStep = 0.0;
    int64_t rampLeft = 0;
    float rampTarget = 1.0f;
    float pan = 0.0f;
    float panLeft = 1.0f, panRight = 1.0f;
    // Holding its place, silent, until resumed.
    bool paused = false;
    // Device channels of the left and right after the pan, and a level for each.
    int outLeft = 0, outRight = 1;
    float levelLeft = 1.0f, levelRight = 1.0f;
    uint64_t generation = 0;
    // Started by the commands last taken in, and not yet mixed.
    bool fresh = false;
    // That start came from silence (stopped or paused), not over the voice's own sound.
    bool freshFromSilence = false;
    // After a stop, the sound goes on for a moment from where it was, falling to silence, so
    // that cutting a waveform mid-swing doesn't click.
    int tailLeft = 0;
    int64_t tailPosition = 0;
    double tailGain = 0.0;
    // After a jump (a seek or a restart while playing) the new place fades in over the old
    // one's tail: frames of that fade still to go.
    int entryLeft = 0;

    CuePlan plan;
    // The voices whose plan names this one as their next cue, linked through their own
    // chainedFrom links, so that a voice that leaves is unlinked from them without a search.
    Voice* firstChainedFrom = nullptr;
    Voice* nextChainedFrom = nullptr;
    Voice* prevChainedFrom = nullptr;
    // The mix frame this run's first frame was mixed at (extend play counts from it).
    int64_t startedAt = 0;
    // The chunk the playhead was last in: a chunk entered other than the next is a jump.
    int64_t chunkEntered = -2;
    // The ramp under way is a fade-out that stops the cue when it reaches silence.
    bool stopAtRampEnd = false;
    // Who hears of the ramp's end: nobody, a tracked fade-in, or a fade-out stop (tracked: the
    // row shows it; untracked: a plain stop with a fade).
    enum class RampNotice : uint8_t { None, FadeIn, FadeOut, FadeOutUntracked };
    RampNotice rampNotice = RampNotice::None;
    // The automatic fade-out of this run has begun (it starts once).
    bool autoFaded = false;
    // The cut end of this run was met while a fade carried the cue past it.
    bool cutEndMet = false;
    // Started by the mixer itself (a chained start), so the window adopts it.
    bool engineStarted = false;
};

// What identifies the content of a file on disk: a file replaced (even by one of the same
// size) or rewritten has another.
struct FileStamp {
    uint64_t device = 0, inode = 0;
    int64_t size = -1, modifiedNs = 0;
    // An empty stamp when the file can't be looked at.
    static FileStamp of(const std::string& path);
    bool valid() const { return size >= 0; }
    bool operator==(const FileStamp&) const = default;
};

// One player's shared state: the chunk cache, the decoder that fills it, and what the mixer
// publishes about its playback.
struct Voice {
    Voice(uint32_t id, std::string path, int sampleRate);

    const uint32_t id;
    const std::string path;
    const int sampleRate;
    FileStamp stamp;  // of the file this voice's audio came from, taken before it was opened

    std::unique_ptr<float[]> storage;
    ChunkSlot cache[kSlotCount];
    // The slot the audio thread is reading; a worker never overwrites it.
    std::atomic<int> hazard{-1};

    // Start points to keep decoded (frames; -1 for none), written by the GUI thread.
    std::atomic<int64_t> anchorA{0};
    std::atomic<int64_t> anchorB{-1};
    // Index of the file's last chunk once a worker has met the end; -1 until then.
    std::atomic<int64_t> lastChunk{-1};
    // The file's length in frames as found at open (0: unknown), set before the mixer sees the
    // voice: where time passes unheard, a pass ends there without waiting for a decoder to
    // find the end.
    int64_t lengthFrames = 0;
    // Set by play() until the mixer has taken the play command, with the frame it starts
    // from, so that a worker decodes for the start before the mixer has even seen it.
    std::atomic<bool> starting{false};
    std::atomic<int64_t> startFrame{0};
    // The file can no longer be read (deleted, replaced, unreadable): what is decoded plays,
    // then the run ends as if the file ended there.
    std::atomic<bool> failed{false};
    // Why, and whether that is still to be told: written by the worker holding `busy`.
    std::string failure;
    std::atomic<bool> failureUnreported{false};
    // Marks the voice failed; the first failure of a run is the one reported.
    void noteFailure(const std::string& why);
    // Set when the worker should look at this voice although it isn't playing.
    std::atomic<bool> dirty{true};
    // Only one worker at a time decodes for a voice.
    std::atomic<bool> busy{false};
    std::unique_ptr<AudioDecoder> decoder;  // owned by whichever worker holds `busy`

    // The decoders sleep while a playing voice has enough decoded ahead. A worker that served
    // it sets the chunk at which half of that is used and clears the request; the mixer raises
    // the request (once) and wakes a worker when the playhead gets there, jumps, or runs out.
    std::atomic<int64_t> refillAt{0};
    std::atomic<bool> refillAsked{false};

    // Published by the mixer after every block.
    std::atomic<int64_t> playhead{0};
    std::atomic<bool> active{false};
    std::atomic<bool> paused{false};
    std::atomic<int64_t> loopsLeft{0};
    std::atomic<uint64_t> endedGeneration{0};
    // The last run the mixer started by itself (a chained start), and the last command of the
    // player it had taken by then: a player that sent nothing since takes that run as its own.
    std::atomic<uint64_t> startedGeneration{0};
    std::atomic<uint64_t> startedAfterSequence{0};
    std::atomic<float> gainNow{1.0f};
    std::atomic<uint64_t> appliedSequence{0};
    // The mix frame the earliest chained start this voice set off is due on, -1 for none (as
    // of the last block; a held chain's frame moves on with the time).
    std::atomic<int64_t> followDue{-1};

    VoiceRt rt;

    // Finds the slot holding chunk `chunk`, or -1.
    int findSlot(int64_t chunk) const;
    // True when chunk `chunk` is decoded, or lies past the known end of the file.
    bool hasChunk(int64_t chunk) const;
};
