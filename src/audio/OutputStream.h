#pragma once

#include <memory>

class Mixer;

// Where the mix goes. The device output plays through PortAudio's default output and survives
// losing it: it keeps time on a silent clock (positions, fades and ends go on as if heard) and
// reopens the default output every second until sound can resume. The silent clock alone is
// for machines that are known to have no sound.
class OutputStream {
public:
    virtual ~OutputStream() = default;

    static std::unique_ptr<OutputStream> device(Mixer& mixer, int sampleRate, int blockFrames);
    static std::unique_ptr<OutputStream> silentClock(Mixer& mixer, int sampleRate, int blockFrames);

    // True while the mix is going to a device.
    virtual bool deviceActive() const = 0;
};
