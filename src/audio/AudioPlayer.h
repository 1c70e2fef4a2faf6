#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "audio/CuePlan.h"

class AudioEngine;
class AudioPlayer;
struct EngineEvent;
struct MixerCommand;
struct Voice;

class AudioPlayerDelegate {
public:
    virtual ~AudioPlayerDelegate() = default;
    // Runs on the GUI thread when a player has played to the end of its file after its last
    // pass. Never after stop().
    virtual void audioPlayerDidFinishPlaying(AudioPlayer* player, bool successfully) = 0;
    // Runs on the GUI thread for what the engine did by itself in the player's present run: a
    // chained start, a fade's end, a cut end. Already heard when it arrives.
    virtual void audioPlayerTimeline(AudioPlayer*, const EngineEvent&) {}
};

// One file's player: a voice of the shared AudioEngine. Every method is for the GUI thread; the
// end event is delivered through the Qt event loop of the thread that owns qApp.
class AudioPlayer {
public:
    // An empty player that holds no file: every operation is harmless and duration() is 0.
    AudioPlayer();
    ~AudioPlayer();
    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    // Opens, probes and pre-decodes the start of the file. Returns nullptr and fills error
    // when the file is missing, unreadable, empty, truncated or not decodable audio.
    static std::unique_ptr<AudioPlayer> initWithContentsOfURL(const std::string& path,
                                                              std::string* error = nullptr,
                                                              AudioEngine* engine = nullptr);

    bool prepareToPlay();
    bool play();
    void stop();

    // A cue's start in one command, so no block can play part of it: from `seconds`, at
    // `gain`, ramping to `target` over `rampSeconds`; a tracked fade-in reports its end.
    bool start(double seconds, float gain, float target, double rampSeconds, bool trackFadeIn);
    // A cue started again while it plays: a fade-out stop under way is called off, and the
    // gain ramps from `from` (NaN: the present gain) to `volume`; a tracked fade-in reports
    // its end.
    void restartRamp(float from, float volume, double seconds, bool trackFadeIn);
    // Fades to silence and stops there, at the fade's last frame; `tracked` tells the
    // delegate's event apart from a plain stop with a fade.
    void fadeOutAndStop(double seconds, bool tracked);
    // What the engine does by itself with this cue: its cut end, automatic fade-out and
    // chains to `next`'s player. Sent only when it differs from the last one.
    void setPlan(CuePlan plan, const AudioPlayer* next);
    // Extend play: `next` of the plan starts `seconds` after this run's first frame (for the
    // start that began the run), or after now (a cue started again as it plays).
    void followAfter(double seconds, bool fromRunStart);

    // The gain applied is held within 0...1 (NaN as 0); volume() returns what was set.
    void setVolume(float volume);
    void setVolume(float volume, double fadeDuration);
    float volume() const { return volume_; }
    // The gain the mixer applied last, ramps included.
    float currentGain() const;

    void setPan(float pan);
    float pan() const { return pan_; }
    // The device channels (from 0) the left and right go to after the pan, with a linear
    // level for each. A channel the device lacks puts the cue on the first two.
    void setRoute(int left, int right, float leftLevel = 1.0f, float rightLevel = 1.0f);

    // Holds a playing cue where it is, silent, with its fades and the chains it set off;
    // resume() goes on from that very frame. A new start or a stop ends the pause.
    void pause();
    void resume();
    bool isPaused() const;

    double currentTime() const;
    void setCurrentTime(double seconds);
    double duration() const { return duration_; }

    // Also while playing: the passes already played count against the new number.
    void setNumberOfLoops(int64_t loops);
    int64_t numberOfLoops() const { return loops_; }

    bool isPlaying() const;
    // Passes still to play after this one (-1: without end), as of the mixer's last block.
    int64_t loopsLeft() const;
    // Seconds until the earliest chained start this cue set off (extend play, persist
    // through) is due, also after the cue itself ended; negative when none waits.
    double chainDueIn() const;

    void setDelegate(AudioPlayerDelegate* delegate) { delegate_ = delegate; }
    AudioPlayerDelegate* delegate() const { return delegate_; }

    const std::string& path() const { return path_; }

    // Reads the file again after it was replaced: the new length, start and end; a playing
    // player goes on from its position in the new file. False (and error) when the file no
    // longer opens as audio; the player then keeps what it had.
    bool reloadFile(std::string* error = nullptr);
    // The same with a voice already opened elsewhere (off the GUI thread); `decodeHere`
    // decodes its start on this thread before the hand-over.
    void takeReloaded(std::shared_ptr<Voice> fresh, double duration, bool decodeHere);
    AudioEngine* engine() const { return engine_; }

private:
    friend class AudioEngine;
    AudioPlayer(AudioEngine& engine, std::shared_ptr<Voice> voice, std::string path,
                double duration);
    void deliverEnd(uint64_t generation);
    void deliverEvent(const EngineEvent& event);
    bool endedUnheard() const;
    void absorbEnd();
    // A run the engine started by itself and no later command of ours superseded becomes
    // this player's run.
    void absorbStart() const;
    uint64_t sendTransport(const MixerCommand& command);
    int64_t frameOf(double seconds) const;

    AudioEngine* engine_ = nullptr;
    std::shared_ptr<Voice> voice_;
    CuePlan plan_;
    uint32_t planNextId_ = 0;
    bool planSent_ = false;
    uint64_t lastTransport_ = 0;  // the last play, stop, seek or fade-out stop sent
    mutable uint64_t adoptedStart_ = 0;
    std::string path_;
    double duration_ = 0.0;
    AudioPlayerDelegate* delegate_ = nullptr;

    float volume_ = 1.0f;
    float pan_ = 0.0f;
    // The run paused (its generation), 0 when none is.
    uint64_t pausedGeneration_ = 0;
    int64_t loops_ = 0;
    mutable bool playing_ = false;
    mutable uint64_t generation_ = 0;
    mutable uint64_t unheardEndGeneration_ =
        0;  // a run that ended while the GUI was busy elsewhere
    int64_t stoppedFrame_ = 0;
    uint64_t pendingSequence_ = 0;  // the last play or seek sent to the mixer
    int64_t pendingFrame_ = 0;
};
