#include "audio/OutputStream.h"

#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <chrono>

#include "audio/Mixer.h"

namespace {

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

class PortAudioOutput final : public OutputStream {
public:
    explicit PortAudioOutput(Mixer& mixer) : mixer_(mixer) {}
    ~PortAudioOutput() override {
        if (stream_) {
            Pa_StopStream(stream_);
            Pa_CloseStream(stream_);
        }
        if (initialised_) Pa_Terminate();
    }

    bool open(int sampleRate, int blockFrames, std::string* why) {
        StderrSilencer quiet;
        PaError err = Pa_Initialize();
        if (err != paNoError) return fail(err, why);
        initialised_ = true;
        const PaDeviceIndex device = Pa_GetDefaultOutputDevice();
        if (device == paNoDevice) {
            if (why) *why = "no default output device";
            return false;
        }
        const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
        PaStreamParameters out{};
        out.device = device;
        out.channelCount = 2;
        out.sampleFormat = paFloat32;
        out.suggestedLatency = info ? info->defaultLowOutputLatency : 0.02;
        err = Pa_OpenStream(&stream_, nullptr, &out, sampleRate, unsigned(blockFrames), paNoFlag,
                            &PortAudioOutput::callback, this);
        if (err != paNoError) {
            stream_ = nullptr;
            return fail(err, why);
        }
        err = Pa_StartStream(stream_);
        if (err != paNoError) return fail(err, why);
        return true;
    }

private:
    static int callback(const void*, void* output, unsigned long frames,
                        const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* self) {
        static_cast<PortAudioOutput*>(self)->mixer_.process(static_cast<float*>(output),
                                                            int(frames));
        return paContinue;
    }
    static bool fail(PaError err, std::string* why) {
        if (why) *why = Pa_GetErrorText(err);
        return false;
    }

    Mixer& mixer_;
    PaStream* stream_ = nullptr;
    bool initialised_ = false;
};

class SilentClock final : public OutputStream {
public:
    SilentClock(Mixer& mixer, int sampleRate, int blockFrames)
        : mixer_(mixer), buffer_(size_t(blockFrames) * 2) {
        thread_ = std::thread([this, sampleRate, blockFrames] { run(sampleRate, blockFrames); });
    }
    ~SilentClock() override {
        stop_ = true;
        thread_.join();
    }

private:
    void run(int sampleRate, int blockFrames) {
        using clock = std::chrono::steady_clock;
        const auto start = clock::now();
        for (int64_t block = 1; !stop_; ++block) {
            mixer_.process(buffer_.data(), blockFrames);
            // Pace by the total frame count, not block by block, so the clock never drifts.
            const auto due = start + std::chrono::nanoseconds(block * blockFrames *
                                                              int64_t(1000000000) / sampleRate);
            std::this_thread::sleep_until(due);
        }
    }

    Mixer& mixer_;
    std::vector<float> buffer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<OutputStream> OutputStream::openDevice(Mixer& mixer, int sampleRate,
                                                       int blockFrames, std::string* why) {
    auto out = std::make_unique<PortAudioOutput>(mixer);
    if (!out->open(sampleRate, blockFrames, why)) return nullptr;
    return out;
}

std::unique_ptr<OutputStream> OutputStream::silentClock(Mixer& mixer, int sampleRate,
                                                        int blockFrames) {
    return std::make_unique<SilentClock>(mixer, sampleRate, blockFrames);
}
