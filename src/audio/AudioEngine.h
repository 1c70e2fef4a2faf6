#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "audio/OutputStream.h"

class AudioPlayer;
struct Voice;
struct MixerCommand;
class Mixer;
class DecoderPool;
class EventPump;

// The one mixing engine behind every AudioPlayer. It owns the mixer (run by the output
// callback), the decoder workers that keep each playing voice fed, and the output: PortAudio's
// default device, or a silent real-time clock when there is none. An offline engine renders
// only when asked, block by block, for tests and benchmarks.
class AudioEngine {
public:
    enum class Mode { Device, SilentClock, Offline };

    static constexpr int kDefaultSampleRate = 48000;
    static constexpr int kBlockFrames = 512;

    // The engine the program plays through: the default output device, kept or regained
    // while the program runs. Created on first use.
    static AudioEngine& shared();
    // Before the shared engine first opens its output: which output, and who hears of its
    // problems (called on the output's thread). Later calls switch the output at once.
    static void configureShared(const OutputChoice& choice,
                                std::function<void(const OutputNotice&)> notices);

    explicit AudioEngine(Mode mode, int sampleRate = kDefaultSampleRate,
                         const OutputChoice& output = {},
                         std::function<void(const OutputNotice&)> outputNotices = {});
    ~AudioEngine();
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    Mode mode() const { return mode_; }
    // Device mode: whether the mix reaches a device now (it keeps time on a silent clock while
    // the device is missing, and comes back to it by itself).
    bool outputDeviceActive() const;
    uint64_t outputUnderflows() const;
    // Device mode: plays on another output from now on (playing cues keep their place). A
    // chosen output that is missing gives way to the system default, with a notice.
    void setOutput(const OutputChoice& choice);
    // The device the mix goes to now, empty while on the silent clock.
    std::string activeOutputDevice() const;
    // GUI thread: every chained start waiting holds (its due time moving on) or goes on.
    void holdFollows(bool hold);
    // GUI thread: every chained start waiting is called off (Stop All, panic).
    void cancelFollows();
    // GUI thread: the level of the whole mix, linear (0 to 1), reached over a short glide.
    void setMasterGain(float gain);

    // Any thread: a name for each channel of the output device, as many as it has (2 for the
    // silent clock and offline).
    std::vector<std::string> outputChannelNames() const;
    // Any thread: each output channel's peak since the last read and its RMS over the last
    // block, linear; as many as the device has.
    void readMeters(std::vector<float>& peaks, std::vector<float>& rms);
    // Called on the output's thread when the output is lost, back, or a chosen one is missing.
    void setOutputNoticeHandler(std::function<void(const OutputNotice&)> handler);
    uint64_t decoderUnderruns() const;
    int sampleRate() const { return sampleRate_; }

    // Offline mode: mix the next `frames` frames of `channels` interleaved channels into out.
    // Unless told otherwise it first waits (at most a few seconds) for the decoders to have what
    // the block needs, so renders are deterministic; without waiting, a block renders as a device's
    // callback would, with whatever is decoded.
    void renderOffline(float* out, int frames, bool waitForData = true, int channels = 2);

    // Opens a voice on a file; used by AudioPlayer::initWithContentsOfURL.
    std::unique_ptr<AudioPlayer> openPlayer(const std::string& path, std::string* error);
    // GUI thread: an id for a voice that openVoice is to open on another thread.
    uint32_t reserveVoiceId();
    // GUI thread: the player of a voice openVoice opened on a reserved id.
    std::unique_ptr<AudioPlayer> adoptVoice(std::shared_ptr<Voice> voice, double duration);

    // GUI thread: a player going away stops receiving end events.
    void forgetPlayer(uint32_t voiceId);

    // GUI thread: the file at `path` was replaced by another (a later import of the same name).
    // Every player of it takes up the new file: its length, its start, its end; a playing one
    // goes on from where it is in the new file. Returns how many players did.
    int fileReplaced(const std::string& path);

    // GUI thread: called there, once for each time a player's file turns unreadable (a playing
    // run then ends where its decoded audio does; the next start tries the file again), with a
    // line the operator can be shown.
    void setProblemHandler(std::function<void(const std::string&)> handler);

    // GUI thread: sends a player's command to the mixer. Inside an event handler the commands
    // of that event reach the audio thread together, once the handler has returned.
    uint64_t send(const MixerCommand& command);

    // Any thread: a voice on the file with its start decoded, for a player's id; nullptr and
    // error when the file doesn't open or holds no audio. Opening and probing can take long on
    // a slow disk, so a voice for a new cue is opened off the GUI thread, on an id reserved
    // there, and handed to adoptVoice.
    std::shared_ptr<Voice> openVoice(const std::string& path, uint32_t id, double* duration,
                                     std::string* error);
    // GUI thread: hands a player's run over from one voice to its successor.
    uint64_t replaceVoice(const std::shared_ptr<Voice>& to, Voice& from);

    Mixer& mixer() { return *mixer_; }
    DecoderPool& decoders() { return *decoders_; }

private:
    void startOutput(const OutputChoice& choice, std::function<void(const OutputNotice&)> notices);
    // GUI thread: files in `folder` changed; players whose file was replaced read it again.
    void folderChanged(const std::string& folder);
    // Offline only: until every playing voice has what the next `frames` need (at most 5 s).
    void waitForDecoders(int frames);

    Mode mode_;
    int sampleRate_;
    std::unique_ptr<Mixer> mixer_;
    std::unique_ptr<DecoderPool> decoders_;
    std::unique_ptr<EventPump> events_;
    std::unique_ptr<OutputStream> output_;
    std::function<void(const std::string&)> problemHandler_;
    // Posted by the audio thread (a semaphore post never blocks), taken by the event thread.
    sem_t eventSignal_;
    std::atomic<bool> stopEvents_{false};
    std::thread eventThread_;
    // Files replaced behind the program's back are read again on threads of their own.
    std::mutex reloadersMutex_;
    std::vector<std::thread> reloaders_;
    std::set<uint32_t> reloading_;  // GUI thread
};
