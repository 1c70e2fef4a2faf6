#pragma once

#include <memory>
#include <string>
#include <vector>

#include "audio/output/OutputBackend.h"

// Plays through PortAudio: ALSA hardware devices, or ALSA's default where no sound server
// client library is reachable. The stream runs all the time.
class PortAudioBackend final : public OutputBackend {
public:
    // deviceName empty: PortAudio's default output.
    PortAudioBackend(std::shared_ptr<StreamFeed> feed, std::string deviceName, int sampleRate,
                     int blockFrames, int latencyFrames);
    ~PortAudioBackend() override;

    bool open(std::string* why) override;
    void close() override;
    int latencyFrames() const override { return latency_; }
    // Set at open, before the first callback.
    int channels() const override { return channels_; }
    std::vector<std::string> channelNames() const override { return names_; }
    // The stream's callback: whom it reports to.
    StreamFeed* feed() const { return feed_.get(); }

    // ALSA hardware outputs. Probing loads every ALSA plugin: call it off the GUI
    // thread where that matters.
    static std::vector<OutputDevice> devices();

private:
    std::shared_ptr<StreamFeed> feed_;
    const std::string deviceName_;
    const int sampleRate_;
    const int blockFrames_;
    int latency_;
    int channels_ = 2;
    std::vector<std::string> names_{"left", "right"};
    void* stream_ = nullptr;
    bool initialised_ = false;
};
