#include "audio/OutputStream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "audio/Mixer.h"
#include "audio/ThreadName.h"
#include "audio/output/JackBackend.h"
#include "audio/output/MixRunner.h"
#include "audio/output/PortAudioBackend.h"
#include "audio/output/PulseBackend.h"
#include "audio/output/SilentClock.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kReopenPeriod = std::chrono::seconds(1);
// Asking PortAudio for a device loads and probes every ALSA plugin: some 15 ms of CPU. Each
// second the supervisor first looks whether anything a device could come from has changed,
// and asks only then, or when this long has passed anyway.
constexpr auto kBlindReopenPeriod = std::chrono::seconds(10);
// How long a device or server that has just appeared is tried each second.
constexpr auto kSettlingPeriod = std::chrono::seconds(6);
// A stream that has not asked for sound for this long has stalled: the clock keeps the time
// from its last block on, and the stream takes it back with its next block if it comes.
// Short, so that positions never stand still for long; a stream stalled this long has
// already run dry, so handing the time over loses nothing that would have been heard.
constexpr auto kMinStall = std::chrono::milliseconds(30);
// Stalled this long, the stream is given up and the output reopened.
constexpr auto kStallLimit = std::chrono::seconds(2);
// A stream that never starts to run after opening is given up, too.
constexpr auto kStartLimit = std::chrono::seconds(4);
constexpr auto kQuitWait = std::chrono::milliseconds(500);
constexpr double kDefaultLatencySeconds = 0.020;

const char* const kPulsePrefix = "pulse:";
const char* const kPortAudioPrefix = "portaudio:";
const char* const kJackPrefix = "jack:";

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// What a reopen could find: the ALSA device nodes and the sound servers' sockets, with their
// inode and change time (a restarted server makes a new socket).
std::string outputFingerprint() {
    std::string print;
    auto add = [&print](const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0)
            print +=
                path + ':' + std::to_string(st.st_ino) + ':' + std::to_string(st.st_ctime) + ';';
    };
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/snd", ec))
        add(entry.path().string());
    if (const char* server = std::getenv("PULSE_SERVER")) {
        std::string path = server;
        if (path.rfind("unix:", 0) == 0) path.erase(0, 5);
        add(path);
    }
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) {
        add(std::string(runtime) + "/pulse/native");
        add(std::string(runtime) + "/pipewire-0");
    }
    // The JACK server's request socket.
    const char* jack = std::getenv("JACK_DEFAULT_SERVER");
    add(std::string("/dev/shm/jack_") + (jack && *jack ? jack : "default") + '_' +
        std::to_string(::getuid()) + "_0");
    return print;
}

// Wakes the supervisor. Shared with the streams, which may outlive it.
struct Signal {
    std::mutex mutex;
    std::condition_variable cv;
    bool raised = false;
    void raise() {
        {
            std::lock_guard lock(mutex);
            raised = true;
        }
        cv.notify_all();
    }
};

// One stream: its feed, and its backend once open. Handed between the supervisor and the
// threads that open and close it.
struct Stream {
    std::shared_ptr<StreamFeed> feed;
    std::shared_ptr<OutputBackend> backend;
    std::string device;  // what actually opened
    bool fellBack = false;
    std::string why;
    Clock::time_point openedAt;
    int64_t callbacksAtOpen = 0;
};

// An open running on its own thread. If the supervisor has gone when it returns, the thread
// closes what it opened.
struct Opening {
    std::mutex mutex;
    bool done = false;
    bool abandoned = false;
    bool ok = false;
    std::shared_ptr<Stream> stream;
};

void closeLater(std::shared_ptr<OutputBackend> backend,
                std::shared_ptr<std::atomic<bool>> closed = nullptr) {
    if (!backend) return;
    std::thread([backend = std::move(backend), closed] {
        nameThisThread("cuevox-close");
        backend->close();
        if (closed) closed->store(true);
    }).detach();
}

std::shared_ptr<OutputBackend> makeBackend(const std::shared_ptr<StreamFeed>& feed,
                                           const std::string& device, int sampleRate,
                                           int blockFrames, int latencyFrames) {
    if (startsWith(device, kJackPrefix)) return std::make_shared<JackBackend>(feed, sampleRate);
    if (startsWith(device, kPulsePrefix))
        return std::make_shared<PulseBackend>(feed, device.substr(std::strlen(kPulsePrefix)),
                                              sampleRate, latencyFrames);
    return std::make_shared<PortAudioBackend>(feed,
                                              startsWith(device, kPortAudioPrefix)
                                                  ? device.substr(std::strlen(kPortAudioPrefix))
                                                  : std::string(),
                                              sampleRate, blockFrames, latencyFrames);
}

// Opens `device`; the system default is the sound server where one answers, else PortAudio's
// default. A chosen device that fails gives way to the default, but JACK does not: its ports
// carry the show's patch, which the default's two channels would fold away, and the time is
// kept on the silent clock until the server is back.
bool openStream(Stream& s, const std::string& device, int sampleRate, int blockFrames,
                int latencyFrames) {
    std::vector<std::string> tries;
    if (!device.empty()) tries.push_back(device);
    if (!startsWith(device, kJackPrefix)) {
        tries.push_back(std::string(kPulsePrefix));
        tries.push_back(std::string(kPortAudioPrefix));
    }
    for (const auto& attempt : tries) {
        auto backend = makeBackend(s.feed, attempt, sampleRate, blockFrames, latencyFrames);
        std::string why;
        if (backend->open(&why)) {
            s.backend = std::move(backend);
            s.device = attempt;
            s.fellBack = !device.empty() && attempt != device;
            return true;
        }
        backend->close();
        s.feed->clearFailed();
        if (s.why.empty()) s.why = why;
    }
    return false;
}

class SilentOutput final : public OutputStream {
public:
    SilentOutput(Mixer& mixer, int sampleRate, int blockFrames)
        : runner_(std::make_shared<MixRunner>(mixer)) {
        runner_->handTo(MixRunner::kClock);
        clock_ = std::make_unique<SilentClock>(runner_, sampleRate, blockFrames, Clock::now());
    }
    ~SilentOutput() override {
        clock_.reset();
        runner_->handTo(MixRunner::kNobody);
    }
    bool deviceActive() const override { return false; }

private:
    std::shared_ptr<MixRunner> runner_;
    std::unique_ptr<SilentClock> clock_;
};

// Who owns the time. Exactly one keeper runs the mixer at any moment, through MixRunner; every
// hand-over between them is made here, on the supervisor thread, by these rules and no others:
//
// - Opening: the silent clock keeps the time from the start, and while no stream is open.
//   While a stream opens with nothing playing, a Go waits for it (SilentClock::holdStarts),
//   for kMaxHold at most: played by the clock, its opening would be lost.
// - Adopted: a stream that opens takes the time at once if it sleeps (the sound server's
//   stream exists only while something plays), else after its first few device callbacks.
// - Asleep: a sleeping stream keeps the time although nothing runs: nothing plays, so there is
//   no time to keep. A Go wakes it, and it is then starting.
// - Starting: the time stands still until the server asks for the first block, which begins
//   with the cue's first frame. A server that answers late (a sink waking from suspend takes a
//   few hundred milliseconds) starts the cue late, whole; it is never handed to the clock, which
//   would play its opening into nothing. Past kStartLimit the stream is given up (Lost).
// - Running: the stream owns the time while the server asks for sound. The server's own
//   reports say how long that is: the buffer it granted (read back, not the one asked for).
//   Silent for twice that (kMinStall at least), it has stalled: the clock keeps the time from
//   when the queued sound ran out, and the stream takes it back from the clock with the next
//   block it is asked for (StreamFeed::fill), at once, in that very block. The stream
//   pre-buffers, so sound written after the stall is played whole from its first frame.
// - Lost (the server gone, a stream that failed, or stalled past kStallLimit where the backend
//   cannot keep such a stream): the clock takes the time for good, and the output reopens.
// - Choice changed: the old stream keeps the time until the new one is adopted.
//
// A keeper that does not own the time never touches the mixer (MixRunner::enter), so it can
// neither mix nor silence the owner's block.
class DeviceOutput final : public OutputStream {
public:
    DeviceOutput(Mixer& mixer, int sampleRate, int blockFrames, OutputChoice choice,
                 std::function<void(const OutputNotice&)> notices)
        : runner_(std::make_shared<MixRunner>(mixer)),
          sampleRate_(sampleRate),
          blockFrames_(blockFrames),
          choice_(std::move(choice)),
          signal_(std::make_shared<Signal>()),
          notices_(std::move(notices)) {
        // Time starts now, on the clock: a sound server may take a moment to start pulling a
        // new stream, and a cue fired meanwhile must not stand still.
        runner_->handTo(MixRunner::kClock);
        clock_ = std::make_unique<SilentClock>(runner_, sampleRate_, blockFrames_, Clock::now());
        startOpening();
        supervisor_ = std::thread([this] {
            nameThisThread("cuevox-output");
            supervise();
        });
    }

    ~DeviceOutput() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        signal_->raise();
        supervisor_.join();
        runner_->handTo(MixRunner::kNobody);
        clock_.reset();
        if (opening_) {
            std::lock_guard lock(opening_->mutex);
            opening_->abandoned = true;
        }
        // A healthy stream closes in a moment; a hung one is left to its thread.
        if (current_) {
            auto closed = std::make_shared<std::atomic<bool>>(false);
            closeLater(current_->backend, closed);
            const auto deadline = Clock::now() + kQuitWait;
            while (!closed->load() && Clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    bool deviceActive() const override { return deviceActive_.load(); }

    void choose(const OutputChoice& choice) override {
        {
            std::lock_guard lock(mutex_);
            wanted_ = choice;
            changeWanted_ = true;
        }
        signal_->raise();
    }

    void wake() override {
        std::shared_ptr<OutputBackend> backend;
        {
            std::lock_guard lock(mutex_);
            backend = playing_;
        }
        if (backend) backend->wake();
    }

    void setNoticeHandler(std::function<void(const OutputNotice&)> handler) override {
        std::lock_guard lock(mutex_);
        notices_ = std::move(handler);
    }

    std::string activeDevice() const override {
        std::lock_guard lock(mutex_);
        return activeDevice_;
    }

    std::vector<std::string> channelNames() const override {
        std::lock_guard lock(mutex_);
        // The stream's own, live: a stream the desktop moves to another sink takes its map.
        return playing_ ? playing_->channelNames() : channelNames_;
    }

private:
    int latencyFrames() const {
        return choice_.latencyFrames > 0 ? choice_.latencyFrames
                                         : defaultLatencyFrames(sampleRate_);
    }

    void notice(OutputNotice::Kind kind, const std::string& text, std::string detail = {}) {
        // Through stdio, the stream std::cout itself writes to: this thread never touches a
        // buffer the GUI thread may have put in std::cout's place.
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
        std::function<void(const OutputNotice&)> handler;
        {
            std::lock_guard lock(mutex_);
            handler = notices_;
        }
        if (handler) handler({kind, text, std::move(detail)});
    }

    void startOpening() {
        auto stream = std::make_shared<Stream>();
        stream->feed = std::make_shared<StreamFeed>(runner_, nextStreamId_++);
        stream->feed->onChange = [signal = signal_] { signal->raise(); };
        opening_ = std::make_shared<Opening>();
        // No stream yet: a Go meanwhile waits for it rather than be played into nothing.
        if (!current_ && clock_) clock_->holdStarts(true);
        std::thread([opening = opening_, stream, device = choice_.device, rate = sampleRate_,
                     block = blockFrames_, latency = latencyFrames()] {
            nameThisThread("cuevox-open");
            const bool ok = openStream(*stream, device, rate, block, latency);
            bool abandoned = false;
            {
                std::lock_guard lock(opening->mutex);
                opening->done = true;
                opening->ok = ok;
                opening->stream = stream;
                abandoned = opening->abandoned;
            }
            if (abandoned && stream->backend) stream->backend->close();
            stream->feed->onChange ? stream->feed->onChange() : void();
        }).detach();
    }

    void setPlaying(const std::shared_ptr<Stream>& stream) {
        std::lock_guard lock(mutex_);
        if (playing_) channelNames_ = playing_->channelNames();
        playing_ = stream ? stream->backend : nullptr;
        activeDevice_ = stream ? stream->device : std::string();
        // The last device's channels stay known while the clock keeps time, so that the
        // operator's patch does not collapse to two channels with every dropout.
        if (playing_) channelNames_ = playing_->channelNames();
    }

    // The clock keeps the time from where the stream's last block stops sounding: the
    // device still had that block's latency queued. Counted from the block's mixing, every
    // stall would put positions a latency further ahead of the sound.
    void clockTakesOver(const Stream& s) {
        if (clock_) clock_->holdStarts(false);
        // A sleeping stream kept no time: nothing played.
        if (!clock_)
            clock_ = std::make_unique<SilentClock>(
                runner_, sampleRate_, blockFrames_,
                s.feed->asleep() || s.feed->starting()
                    ? Clock::now()
                    : s.feed->lastCallback() +
                          std::chrono::nanoseconds(
                              framesToNanos(int64_t(s.backend->latencyFrames()), sampleRate_)));
        runner_->takeFrom(s.feed->id(), MixRunner::kClock);
    }

    void giveUp(std::shared_ptr<Stream> s) {
        s->feed->allowReclaim(false);
        clockTakesOver(*s);
        setPlaying(nullptr);
        closeLater(s->backend);
    }

    // A stream that opened: it takes the time over once it runs (at once when it sleeps until
    // something plays).
    void adopt(std::shared_ptr<Stream> s) {
        s->openedAt = Clock::now();
        s->callbacksAtOpen = s->feed->callbacks();
        if (current_) giveUp(current_);
        current_ = std::move(s);
        handedOver_ = false;
        setPlaying(current_);
    }

    void handOver() {
        runner_->handTo(current_->feed->id());
        clock_.reset();
        handedOver_ = true;
        stalled_ = false;
        deviceActive_.store(true);
        if (lostAnnounced_) notice(OutputNotice::Kind::Back, "Audio output back");
        lostAnnounced_ = false;
        if (current_->fellBack && !choice_.device.empty()) {
            notice(OutputNotice::Kind::Missing, "Audio output \"" + choice_.device +
                                                    "\" is not available (" + current_->why +
                                                    "), playing on the system default");
        }
        // Whatever was sent meanwhile: a sleeping stream looks at it now.
        current_->backend->wake();
    }

    void lose(const char* text) {
        if (!lostAnnounced_) notice(OutputNotice::Kind::Lost, text);
        lostAnnounced_ = true;
        failedWhy_.clear();
        deviceActive_.store(false);
        giveUp(current_);
        current_.reset();
        stalled_ = false;
        nextReopen_ = Clock::now() + kReopenPeriod;
    }

    // One look at the state; returns when to look again (max() for "when something happens").
    Clock::time_point step() {
        const auto now = Clock::now();
        constexpr auto never = Clock::time_point::max();
        {
            std::lock_guard lock(mutex_);
            if (changeWanted_) {
                changeWanted_ = false;
                if (!(wanted_ == choice_)) {
                    choice_ = wanted_;
                    // The old stream plays on until the new one runs.
                    if (opening_) {
                        std::lock_guard openLock(opening_->mutex);
                        opening_->abandoned = true;
                    }
                    opening_.reset();
                    startOpening();
                }
            }
        }
        if (opening_) {
            std::shared_ptr<Stream> opened;
            bool ok = false;
            {
                std::lock_guard lock(opening_->mutex);
                if (opening_->done) {
                    opened = opening_->stream;
                    ok = opening_->ok;
                }
            }
            if (opened) {
                opening_.reset();
                if (ok) {
                    adopt(opened);
                } else {
                    if (clock_) clock_->holdStarts(false);
                    // Told once, and again when the reason changes: a server back at
                    // the wrong rate, say, keeps the output away for a reason of its own.
                    if (!lostAnnounced_ || (!failedWhy_.empty() && opened->why != failedWhy_))
                        notice(OutputNotice::Kind::NoDevice,
                               "No audio output device (" + opened->why +
                                   "), playing on a silent clock",
                               opened->why);
                    lostAnnounced_ = true;
                    failedWhy_ = opened->why;
                    // What just appeared may still be starting (a sound server that listens
                    // before its sinks are loaded): it is tried each second for a while
                    // rather than written off until the next blind reopen.
                    const std::string print = outputFingerprint();
                    if (print != failedFingerprint_) settlingUntil_ = now + kSettlingPeriod;
                    failedFingerprint_ = print;
                    nextReopen_ = now + kReopenPeriod;
                    nextBlindReopen_ =
                        now + (now < settlingUntil_ ? kReopenPeriod : kBlindReopenPeriod);
                }
            }
        }
        if (!current_) {
            if (opening_) return never;  // its thread raises the signal when it returns
            if (now < nextReopen_) return nextReopen_;
            const std::string print = outputFingerprint();
            if (print != failedFingerprint_ || now >= nextBlindReopen_) startOpening();
            nextReopen_ = now + kReopenPeriod;
            return opening_ ? never : nextReopen_;
        }

        StreamFeed& feed = *current_->feed;
        if (feed.failed()) {
            lose("Audio output lost, keeping time on a silent clock");
            return nextReopen_;
        }
        if (!handedOver_) {
            // A sleeping stream starts on the first block of real sound; a running one takes
            // over after a few steady blocks (a new stream's first come at once, then may
            // pause while the server sets it up).
            if (feed.asleep() || feed.callbacks() - current_->callbacksAtOpen >= 4) {
                handOver();
                return step();
            }
            if (now - current_->openedAt > kStartLimit) {
                lose("Audio output lost, keeping time on a silent clock");
                return nextReopen_;
            }
            return now + std::chrono::milliseconds(10);
        }
        if (feed.asleep()) {
            stalled_ = false;
            return never;
        }
        if (feed.starting() && !stalled_) {
            if (now - feed.lastCallback() > kStartLimit) {
                lose("Audio output lost, keeping time on a silent clock");
                return nextReopen_;
            }
            return now + std::chrono::milliseconds(10);
        }
        const auto stallAfter = std::max<Clock::duration>(
            kMinStall, std::chrono::nanoseconds(framesToNanos(
                           2 * int64_t(current_->backend->latencyFrames()), sampleRate_)));
        const auto last = feed.lastCallback();
        if (stalled_) {
            if (runner_->owner() == feed.id()) {
                // The stream came back by itself and took the time back.
                feed.allowReclaim(false);
                clock_.reset();
                stalled_ = false;
                deviceActive_.store(true);
                if (lostAnnounced_) notice(OutputNotice::Kind::Back, "Audio output back");
                lostAnnounced_ = false;
            } else if (now - last > kStallLimit) {
                if (!current_->backend->keepThroughStalls()) {
                    lose("Audio output lost, keeping time on a silent clock");
                    return nextReopen_;
                }
                // Still connected, only silent (a hung or starved server): a new stream would
                // fare no better, and this one resumes where it is the moment the server does.
                if (!lostAnnounced_)
                    notice(OutputNotice::Kind::Lost,
                           "Audio output lost, keeping time on a silent clock");
                lostAnnounced_ = true;
                deviceActive_.store(false);
                return now + std::chrono::milliseconds(50);
            } else {
                return now + std::chrono::milliseconds(10);
            }
        }
        if (now - last > stallAfter) {
            stalled_ = true;
            feed.allowReclaim(true);
            clockTakesOver(*current_);
            return now + std::chrono::milliseconds(10);
        }
        return last + stallAfter + std::chrono::milliseconds(1);
    }

    void supervise() {
        for (;;) {
            const auto next = step();
            std::unique_lock lock(signal_->mutex);
            if (next == Clock::time_point::max())
                signal_->cv.wait(lock, [this] { return signal_->raised; });
            else
                signal_->cv.wait_until(lock, next, [this] { return signal_->raised; });
            signal_->raised = false;
            lock.unlock();
            std::lock_guard stateLock(mutex_);
            if (stopping_) return;
        }
    }

    std::shared_ptr<MixRunner> runner_;
    const int sampleRate_;
    const int blockFrames_;
    OutputChoice choice_;  // supervisor thread (and constructor) only

    // Supervisor thread only.
    std::unique_ptr<SilentClock> clock_;
    std::shared_ptr<Opening> opening_;
    std::shared_ptr<Stream> current_;
    int nextStreamId_ = MixRunner::kClock + 1;
    bool handedOver_ = false;
    bool stalled_ = false;
    bool lostAnnounced_ = false;
    std::string failedWhy_;  // of the last open that failed since the output was lost
    std::string failedFingerprint_;
    Clock::time_point nextReopen_{};
    Clock::time_point nextBlindReopen_{};
    Clock::time_point settlingUntil_{};

    std::atomic<bool> deviceActive_{false};
    std::shared_ptr<Signal> signal_;
    mutable std::mutex mutex_;  // the fields below
    bool stopping_ = false;
    OutputChoice wanted_;
    bool changeWanted_ = false;
    std::shared_ptr<OutputBackend> playing_;
    std::string activeDevice_;
    std::vector<std::string> channelNames_{"left", "right"};
    std::function<void(const OutputNotice&)> notices_;
    std::thread supervisor_;
};

}  // namespace

std::unique_ptr<OutputStream> OutputStream::device(
    Mixer& mixer, int sampleRate, int blockFrames, OutputChoice choice,
    std::function<void(const OutputNotice&)> notices) {
    return std::make_unique<DeviceOutput>(mixer, sampleRate, blockFrames, std::move(choice),
                                          std::move(notices));
}

std::unique_ptr<OutputStream> OutputStream::silentClock(Mixer& mixer, int sampleRate,
                                                        int blockFrames) {
    return std::make_unique<SilentOutput>(mixer, sampleRate, blockFrames);
}

std::vector<OutputDevice> OutputStream::devices() {
    std::vector<OutputDevice> list{{"", "System default"}};
    for (auto& sink : PulseBackend::sinks()) list.push_back(std::move(sink));
    for (auto& ports : JackBackend::devices()) list.push_back(std::move(ports));
    for (auto& device : PortAudioBackend::devices()) list.push_back(std::move(device));
    return list;
}

int OutputStream::defaultLatencyFrames(int sampleRate) {
    return int(kDefaultLatencySeconds * sampleRate);
}
