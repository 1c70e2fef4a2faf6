#include "audio/output/PortAudioBackend.h"

#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

#include "audio/Mixer.h"
#include "audio/ThreadName.h"
#include "audio/output/RealtimePriority.h"

namespace {

// PortAudio's calls are not safe from several threads at once, and a close may hang in a
// frozen sound server while the next stream wants to open: they all take turns here.
std::mutex& portAudioMutex() {
    static std::mutex mutex;
    return mutex;
}

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

// JACK is offered by the program's own client (JackBackend), with a port per channel: neither
// PortAudio's JACK host nor ALSA's plugin into JACK is listed beside it.
bool offered(PaHostApiTypeId type, const char* device) {
    return type == paALSA && std::strcmp(device, "jack") != 0;
}

// How the newest callback thread fared with the scheduler: 0 not yet called, -1 real-time,
// else its id, refused, for the opening thread to put to RealtimeKit (which the callback must
// not wait for). Streams open one at a time.
std::atomic<pid_t> callbackThread{0};

int callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
             PaStreamCallbackFlags flags, void* self) {
    auto* backend = static_cast<PortAudioBackend*>(self);
    StreamFeed* feed = backend->feed();
    // PortAudio makes a new thread for every stream it starts.
    thread_local bool named = false;
    if (!named) {
        nameThisThread("cuevox-audio");
        callbackThread.store(askForRealtimePriority() ? -1 : currentThreadId());
        named = true;
    }
    if (flags & paOutputUnderflow) feed->noteUnderflow();
    feed->fill(static_cast<float*>(output), int(frames), backend->channels());
    return paContinue;
}

void finished(void* self) {
    static_cast<PortAudioBackend*>(self)->feed()->noteFailed();
}

// ALSA's plugin devices (default, pulse, dmix) claim dozens of channels they only mix down:
// their sound is stereo. A hardware device's channels, and JACK's, are real.
int channelsOf(const PaDeviceInfo& info) {
    const PaHostApiInfo* api = Pa_GetHostApiInfo(info.hostApi);
    const bool real = (api && api->type == paJACK) ||
                      std::string_view(info.name).find("(hw:") != std::string_view::npos;
    return real ? std::clamp(info.maxOutputChannels, 2, Mixer::kMaxChannels) : 2;
}

}  // namespace

PortAudioBackend::PortAudioBackend(std::shared_ptr<StreamFeed> feed, std::string deviceName,
                                   int sampleRate, int blockFrames, int latencyFrames)
    : feed_(std::move(feed)),
      deviceName_(std::move(deviceName)),
      sampleRate_(sampleRate),
      blockFrames_(blockFrames),
      latency_(latencyFrames) {}

PortAudioBackend::~PortAudioBackend() {
    close();
}

bool PortAudioBackend::open(std::string* why) {
    std::lock_guard lock(portAudioMutex());
    StderrSilencer quiet;
    auto fail = [&](const char* text) {
        if (why) *why = text;
        if (stream_) Pa_CloseStream(stream_);
        stream_ = nullptr;
        if (initialised_) Pa_Terminate();
        initialised_ = false;
        return false;
    };
    PaError err = Pa_Initialize();
    if (err != paNoError) return fail(Pa_GetErrorText(err));
    initialised_ = true;
    PaDeviceIndex device = paNoDevice;
    if (deviceName_.empty()) {
        device = Pa_GetDefaultOutputDevice();
    } else {
        for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
            if (info && info->maxOutputChannels >= 2 && deviceName_ == info->name) device = i;
        }
    }
    if (device == paNoDevice) return fail("no such output device");
    PaStreamParameters params{};
    params.device = device;
    channels_ = channelsOf(*Pa_GetDeviceInfo(device));
    names_.clear();
    for (int c = 1; c <= channels_; ++c) names_.push_back("channel " + std::to_string(c));
    params.channelCount = channels_;
    params.sampleFormat = paFloat32;
    params.suggestedLatency = double(latency_) / sampleRate_;
    PaStream* stream = nullptr;
    err = Pa_OpenStream(&stream, nullptr, &params, sampleRate_, unsigned(blockFrames_), paNoFlag,
                        &callback, this);
    if (err != paNoError) return fail(Pa_GetErrorText(err));
    stream_ = stream;
    if (const PaStreamInfo* info = Pa_GetStreamInfo(stream))
        latency_ = int(info->outputLatency * sampleRate_);
    Pa_SetStreamFinishedCallback(stream, &finished);
    callbackThread.store(0);
    err = Pa_StartStream(stream);
    if (err != paNoError) return fail(Pa_GetErrorText(err));
    // The first callbacks come at once on a running device.
    for (int i = 0; i < 40 && callbackThread.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (const pid_t refused = callbackThread.load(); refused > 0) makeThreadRealtime(refused);
    return true;
}

void PortAudioBackend::close() {
    std::lock_guard lock(portAudioMutex());
    StderrSilencer quiet;
    if (stream_) {
        Pa_SetStreamFinishedCallback(stream_, nullptr);
        Pa_AbortStream(stream_);
        Pa_CloseStream(stream_);
        stream_ = nullptr;
    }
    if (initialised_) Pa_Terminate();
    initialised_ = false;
}

std::vector<OutputDevice> PortAudioBackend::devices() {
    std::lock_guard lock(portAudioMutex());
    StderrSilencer quiet;
    std::vector<OutputDevice> list;
    if (Pa_Initialize() != paNoError) return list;
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info || info->maxOutputChannels < 2) continue;
        const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
        if (!api || !offered(api->type, info->name)) continue;
        list.push_back(
            {std::string("portaudio:") + info->name, std::string(api->name) + ": " + info->name});
    }
    Pa_Terminate();
    return list;
}
