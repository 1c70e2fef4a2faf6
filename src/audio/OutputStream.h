#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class Mixer;

// Where the mix goes: a PortAudio stream on the default output device, or, on a machine
// without one, a thread that runs the mixer at real-time pace and drops the sound, so that
// positions, ends and fades behave exactly as with a device.
class OutputStream {
public:
    virtual ~OutputStream() = default;

    // nullptr and a reason when no device can be opened.
    static std::unique_ptr<OutputStream> openDevice(Mixer& mixer, int sampleRate, int blockFrames,
                                                    std::string* why);
    static std::unique_ptr<OutputStream> silentClock(Mixer& mixer, int sampleRate, int blockFrames);
};
