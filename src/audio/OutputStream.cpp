#include "audio/OutputStream.h"

#include <fcntl.h>
#include <portaudio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/Mixer.h"
#include "audio/ThreadName.h"

namespace {

using Clock = std::chrono::steady_clock;

// Watching a device that runs steadily, or waiting for one to appear, needs no haste: a loss is
// caught up from the last block played however late it is seen. A hand-over from the clock to
// a device that has just opened is quicker, as the device plays silence until it is done.
constexpr auto kSupervisePeriod = std::chrono::milliseconds(500);
constexpr auto kHandoverSupervisePeriod = std::chrono::milliseconds(100);
constexpr auto kReopenPeriod = std::chrono::seconds(1);
// Asking PortAudio for a device loads and probes every ALSA plugin: some 15 ms of CPU. Each
// second the supervisor first looks whether anything a device could come from has changed,
// and asks only then, or when this long has passed anyway.
constexpr auto kBlindReopenPeriod = std::chrono::seconds(10);
// A stream that stopped is gone at once; one whose callback has not run for this long is hung.
// Generous on purpose: on a loaded machine the callback can lag by a few hundred ms, and
// reopening the stream would turn that hiccup into a second of silence. A stream that has
// just started may pause longer while the sound server sets it up.
constexpr auto kStallLimit = std::chrono::seconds(2);
constexpr auto kStartupStallLimit = std::chrono::seconds(4);
constexpr int64_t kSteadyCallbacks = 50;

// PortAudio and the ALSA library under it print their probing chatter to stderr while they
// start; none of it is for the operator.
class StderrSilencer {
public:
    StderrSilencer() {
        saved_ = dup(STDERR_FILENO);
        const int devnull = ::open("/dev/null", O_WRONLY);
        if (saved_ >= 0 && devnull >= 0) dup2(devnull, STDERR_FILENO);
        if (devnull >= 0) ::close(devnull);
    }
    ~StderrSilencer() {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }

private:
    int saved_ = -1;
};

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
    return print;
}

// Runs the mixer for whoever owns the time now. The device callback and the silent clock may
// overlap for an instant while one hands over to the other; the guard makes the loser of that
// instant output silence instead of mixing twice. Both sides only swap an atomic: neither
// blocks.
class MixRunner {
public:
    explicit MixRunner(Mixer& mixer) : mixer_(mixer) {}

    bool run(float* out, int frames) {
        if (busy_.exchange(true, std::memory_order_acquire)) return false;
        mixer_.process(out, frames);
        busy_.store(false, std::memory_order_release);
        return true;
    }
    Mixer& mixer() { return mixer_; }

private:
    Mixer& mixer_;
    std::atomic<bool> busy_{false};
};

// Mixes at real-time pace and drops the sound.
class ClockThread {
public:
    ClockThread(MixRunner& runner, int sampleRate, int blockFrames, Clock::time_point from)
        : runner_(runner), buffer_(size_t(blockFrames) * 2) {
        thread_ = std::thread([=, this] {
            nameThisThread("cuevox-clock");
            loop(sampleRate, blockFrames, from);
        });
    }
    ~ClockThread() {
        stop_ = true;
        thread_.join();
    }

private:
    void loop(int sampleRate, int blockFrames, Clock::time_point from) {
        for (int64_t block = 1; !stop_; ++block) {
            runner_.run(buffer_.data(), blockFrames);
            // Paced by the total count, so it never drifts; starting from a moment in the past
            // catches up the time a lost device left unplayed.
            std::this_thread::sleep_until(
                from +
                std::chrono::nanoseconds(block * blockFrames * int64_t(1000000000) / sampleRate));
        }
    }

    MixRunner& runner_;
    std::vector<float> buffer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class SilentOutput final : public OutputStream {
public:
    SilentOutput(Mixer& mixer, int sampleRate, int blockFrames)
        : runner_(mixer), clock_(runner_, sampleRate, blockFrames, Clock::now()) {}
    bool deviceActive() const override { return false; }

private:
    MixRunner runner_;
    ClockThread clock_;
};

class DeviceOutput final : public OutputStream {
public:
    DeviceOutput(Mixer& mixer, int sampleRate, int blockFrames)
        : runner_(mixer), sampleRate_(sampleRate), blockFrames_(blockFrames) {
        // Time starts now, on the clock: a sound server may take half a second to start
        // pulling a new stream, and a cue fired meanwhile must not stand still. The device
        // takes the time over once it runs.
        clock_ = std::make_unique<ClockThread>(runner_, sampleRate_, blockFrames_, Clock::now());
        std::string why;
        if (!openStream(&why)) {
            std::cout << "No audio output device (" << why << "), playing on a silent clock"
                      << std::endl;
            AudioEngine::reportStatus(AudioEngine::OutputStatus::Missing, why);
            announcedLoss_ = true;
            failedFingerprint_ = outputFingerprint();
        }
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
        wake_.notify_all();
        supervisor_.join();
        closeStream();
        clock_.reset();
    }

    bool deviceActive() const override { return deviceActive_.load(); }

private:
    static int callback(const void*, void* output, unsigned long frames,
                        const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags flags, void* self) {
        auto* me = static_cast<DeviceOutput*>(self);
        auto* out = static_cast<float*>(output);
        // PortAudio makes a new thread for every stream it starts.
        thread_local bool named = false;
        if (!named) {
            nameThisThread("cuevox-audio");
            named = true;
        }
        if (flags & paOutputUnderflow) me->runner_.mixer().noteOutputUnderflow();
        me->lastCallback_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        me->callbacks_.fetch_add(1, std::memory_order_relaxed);
        // While the silent clock still keeps time, the device only plays silence; the
        // supervisor stops the clock once the device is seen running.
        if (me->clockOwnsTime_.load(std::memory_order_acquire) ||
            !me->runner_.run(out, int(frames)))
            std::fill(out, out + frames * 2, 0.0f);
        return paContinue;
    }

    bool openStream(std::string* why) {
        StderrSilencer quiet;
        auto fail = [&](PaError err) {
            if (why) *why = Pa_GetErrorText(err);
            closeStream();
            return false;
        };
        PaError err = Pa_Initialize();
        if (err != paNoError) return fail(err);
        initialised_ = true;
        const PaDeviceIndex device = Pa_GetDefaultOutputDevice();
        if (device == paNoDevice) {
            if (why) *why = "no default output device";
            closeStream();
            return false;
        }
        const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
        PaStreamParameters params{};
        params.device = device;
        params.channelCount = 2;
        params.sampleFormat = paFloat32;
        params.suggestedLatency = info ? info->defaultLowOutputLatency : 0.02;
        clockOwnsTime_.store(clock_ != nullptr);
        PaStream* stream = nullptr;
        err = Pa_OpenStream(&stream, nullptr, &params, sampleRate_, unsigned(blockFrames_),
                            paNoFlag, &DeviceOutput::callback, this);
        if (err != paNoError) return fail(err);
        stream_ = stream;
        callbacksAtOpen_ = callbacks_.load();
        lastCallback_.store(Clock::now().time_since_epoch().count());
        err = Pa_StartStream(stream_);
        if (err != paNoError) return fail(err);
        return true;
    }

    void closeStream() {
        StderrSilencer quiet;
        if (stream_) {
            Pa_AbortStream(stream_);
            Pa_CloseStream(stream_);
            stream_ = nullptr;
        }
        if (initialised_) Pa_Terminate();
        initialised_ = false;
    }

    // A quarter second of steady callbacks: a new stream's first few come at once (the
    // server filling its buffer), then may pause before the steady flow.
    int64_t handoverCallbacks() const {
        return std::max<int64_t>(4, sampleRate_ / blockFrames_ / 4);
    }

    bool streamStalled() const {
        if (Pa_IsStreamActive(stream_) != 1) return true;
        const auto last = Clock::time_point(Clock::duration(lastCallback_.load()));
        const bool steady = callbacks_.load() - callbacksAtOpen_ >= kSteadyCallbacks;
        return Clock::now() - last > (steady ? kStallLimit : kStartupStallLimit);
    }

    void supervise() {
        auto nextReopen = Clock::now() + kReopenPeriod;
        auto nextBlindReopen = Clock::now() + kBlindReopenPeriod;
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock,
                               clock_ && stream_ ? kHandoverSupervisePeriod : kSupervisePeriod,
                               [this] { return stopping_; })) {
            if (stream_ && !clock_ && streamStalled()) {
                const auto last = Clock::time_point(Clock::duration(lastCallback_.load()));
                std::cout << "Audio output lost, keeping time on a silent clock" << std::endl;
                AudioEngine::reportStatus(AudioEngine::OutputStatus::Lost);
                announcedLoss_ = true;
                deviceActive_.store(false);
                closeStream();
                // From the last block the device played, so no time goes missing.
                clock_ = std::make_unique<ClockThread>(runner_, sampleRate_, blockFrames_, last);
                nextReopen = Clock::now() + kReopenPeriod;
            } else if (clock_ && stream_) {
                // Opened: hand the time over once the device is really running.
                if (callbacks_.load() - callbacksAtOpen_ >= handoverCallbacks()) {
                    // Clock first: for the few milliseconds of the join the device plays
                    // silence, rather than both keeping time at once.
                    clock_.reset();
                    clockOwnsTime_.store(false, std::memory_order_release);
                    deviceActive_.store(true);
                    if (announcedLoss_) {
                        std::cout << "Audio output back" << std::endl;
                        AudioEngine::reportStatus(AudioEngine::OutputStatus::Back);
                    }
                    announcedLoss_ = false;
                } else if (streamStalled()) {
                    closeStream();  // the reopened device never ran: try again later
                    nextReopen = Clock::now() + kReopenPeriod;
                }
            } else if (clock_ && Clock::now() >= nextReopen) {
                const std::string print = outputFingerprint();
                if (print != failedFingerprint_ || Clock::now() >= nextBlindReopen) {
                    if (!openStream(nullptr)) {
                        closeStream();
                        failedFingerprint_ = print;
                        nextBlindReopen = Clock::now() + kBlindReopenPeriod;
                    }
                }
                nextReopen = Clock::now() + kReopenPeriod;
            }
        }
    }

    MixRunner runner_;
    const int sampleRate_;
    const int blockFrames_;
    PaStream* stream_ = nullptr;
    bool initialised_ = false;
    std::unique_ptr<ClockThread> clock_;
    std::atomic<bool> clockOwnsTime_{false};
    std::atomic<Clock::rep> lastCallback_{0};
    std::atomic<int64_t> callbacks_{0};
    int64_t callbacksAtOpen_ = 0;
    std::atomic<bool> deviceActive_{false};
    bool announcedLoss_ = false;     // supervisor thread (and constructor) only
    std::string failedFingerprint_;  // what there was when the last reopen failed

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread supervisor_;
};

}  // namespace

std::unique_ptr<OutputStream> OutputStream::device(Mixer& mixer, int sampleRate, int blockFrames) {
    return std::make_unique<DeviceOutput>(mixer, sampleRate, blockFrames);
}

std::unique_ptr<OutputStream> OutputStream::silentClock(Mixer& mixer, int sampleRate,
                                                        int blockFrames) {
    return std::make_unique<SilentOutput>(mixer, sampleRate, blockFrames);
}
