#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/output/OutputBackend.h"

class Mixer;

// Which output plays: "" for the system's default (the sound server's default sink, or
// PortAudio's default output where no server answers), "pulse:<sink>", "portaudio:<device>"
// or "jack:" (the program's JACK ports); and the latency asked of it.
struct OutputChoice {
    std::string device;
    int latencyFrames = 0;  // 0: the default
    bool operator==(const OutputChoice&) const = default;
};

// Something the operator should see about the output.
struct OutputNotice {
    enum class Kind { NoDevice, Lost, Back, Missing };
    Kind kind;
    std::string text;    // the line printed on the standard output
    std::string detail;  // why there is no device, for NoDevice
};

// Where the mix goes. The device output plays to the chosen device and survives losing it:
// the time goes to a silent clock at once (positions, fades and ends go on as if heard), the
// stream is given up on a thread of its own, since a hung sound server can hold that forever,
// and the output is reopened every second until sound can resume. The silent clock alone is
// for machines that are known to have no sound.
class OutputStream {
public:
    virtual ~OutputStream() = default;

    // `notices` is called on the output's own thread.
    static std::unique_ptr<OutputStream> device(
        Mixer& mixer, int sampleRate, int blockFrames, OutputChoice choice = {},
        std::function<void(const OutputNotice&)> notices = {});
    static std::unique_ptr<OutputStream> silentClock(Mixer& mixer, int sampleRate, int blockFrames);

    // True while the mix is going to a device.
    virtual bool deviceActive() const = 0;
    // Moves the mix to another output at once; playing voices keep their place.
    virtual void choose(const OutputChoice&) {}
    // Something was sent to the mixer: an output asleep while nothing plays wakes for it.
    virtual void wake() {}
    // Called on the output's own thread.
    virtual void setNoticeHandler(std::function<void(const OutputNotice&)>) {}
    // The device playing now ("pulse:<sink>", "portaudio:<device>"), empty on the clock.
    virtual std::string activeDevice() const { return {}; }
    // A name for each channel of the device playing now, or of the last one that played.
    virtual std::vector<std::string> channelNames() const { return {"left", "right"}; }

    // Every output the operator can choose, the system default first.
    static std::vector<OutputDevice> devices();
    // The latency used when the choice leaves it open.
    static int defaultLatencyFrames(int sampleRate);
};
