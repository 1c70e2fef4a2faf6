#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <mutex>

#include "remote/MidiMapping.h"

class RtMidiIn;

// The MIDI input port "Cuevox" that any device or program can connect to, and optionally a
// connection to one device chosen in Settings. Messages arrive on the MIDI library's thread,
// are read there by the mapping and leave as commands through `deliver`.
class MidiInput {
public:
    enum class Backend { None, Alsa, Jack };
    using Deliver = std::function<bool(const RemoteCommand&)>;
    using Tell = std::function<void(const QString&)>;
    // A learn completed; called on the MIDI thread.
    using Learned = std::function<void(MidiMapping::Kind, const MidiTrigger&)>;

    MidiInput(Deliver deliver, Tell tell, Learned learned);
    ~MidiInput();
    MidiInput(const MidiInput&) = delete;
    MidiInput& operator=(const MidiInput&) = delete;

    // The ALSA sequencer where the machine has one, else a running JACK server, else none.
    static Backend availableBackend();
    // Opens the port, and connects `device` (one of devices()) when it is not empty. Returns an
    // empty string, or why there is no MIDI. A port already open on `backend` stays open, with
    // the connections other programs made to it; only the device's connection is made anew.
    QString open(Backend backend, const QString& device);
    void close();
    bool isOpen() const { return port_ != nullptr; }
    Backend backend() const { return backend_; }
    // Input ports of other programs and devices.
    QStringList devices() const;

    // Whether the device chosen in open() left or came back since the last look; one that came
    // back is connected again. For a timer: a device unplugged and plugged in again is a new
    // port to the MIDI system, which nothing would otherwise connect.
    enum class DeviceChange { None, Gone, Back };
    DeviceChange watchDevice();
    QString deviceName() const { return deviceName_; }

    void setMapping(const MidiMapping& mapping);
    void learn(MidiMapping::Kind kind);
    void cancelLearn();

    // One complete MIDI message, as the port hands it over.
    void feed(const unsigned char* bytes, std::size_t size);

private:
    std::unique_ptr<RtMidiIn> openIn(const char* client);
    // Connects the device if it is among the ports now; false when it is not.
    bool connectDevice();

    Deliver deliver_;
    Tell tell_;
    Learned learned_;
    Backend backend_ = Backend::None;
    std::unique_ptr<RtMidiIn> port_;
    std::unique_ptr<RtMidiIn> device_;
    QString deviceName_;
    std::mutex mappingMutex_;
    MidiMapping mapping_;
};
