#pragma once

#include <memory>
#include <string>
#include <vector>

#include "audio/output/JackSession.h"
#include "audio/output/OutputBackend.h"

// Plays through the program's JACK client, one output port per channel. The client and its
// ports are not this stream's: they stay when it closes (see JackSession), so a stream given up
// or replaced leaves every connection in place. While nothing plays, the process callback only
// writes silence to the ports; a command sent to the mixer has the next block mixed.
class JackBackend final : public OutputBackend {
public:
    static constexpr int kDefaultChannels = 8;

    JackBackend(std::shared_ptr<StreamFeed> feed, int sampleRate, int channels = kDefaultChannels);
    ~JackBackend() override;

    bool open(std::string* why) override;
    void close() override;
    void wake() override { slot_.wakeAsked.store(true, std::memory_order_release); }
    int latencyFrames() const override;
    int channels() const override;
    std::vector<std::string> channelNames() const override;
    // A server that dies is told by the library at once; one that only stops calling (frozen,
    // starved) calls again where it stopped, and a new client would fare no better.
    bool keepThroughStalls() const override { return true; }

    // The ports as one output, when a JACK server runs.
    static std::vector<OutputDevice> devices(int channels = kDefaultChannels);

private:
    std::shared_ptr<StreamFeed> feed_;
    const int sampleRate_;
    const int channels_;
    JackSession::Slot slot_;
    bool attached_ = false;
};
