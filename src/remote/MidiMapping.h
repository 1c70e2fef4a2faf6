#pragma once

#include <QString>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "remote/RemoteCommand.h"

// The key, button or program a desk sends for one command.
struct MidiTrigger {
    enum class Type { None, Note, ControlChange, ProgramChange };
    Type type = Type::None;
    int channel = 0;  // 0 to 15; shown as 1 to 16
    int number = 0;   // note, controller or program, 0 to 127

    bool valid() const { return type != Type::None; }
    // "Note 60, channel 1": for the settings window.
    QString text() const;
    // "note 1 60": how it is stored; an unreadable text gives no trigger.
    QString key() const;
    static MidiTrigger fromKey(const QString& key);
    bool operator==(const MidiTrigger&) const = default;
};

// Turns MIDI messages into show commands: learned triggers for the commands a desk fires, and
// MIDI Show Control GO and STOP for any desk that speaks it. Pure: bytes in, commands out.
class MidiMapping {
public:
    using Kind = RemoteCommand::Kind;
    // The commands a trigger can be learned for, in the order the settings window lists them.
    static const std::vector<Kind>& learnable();
    static QString nameOf(Kind kind);

    struct Result {
        std::vector<RemoteCommand> commands;
        // Set when this message completed a learn.
        std::optional<std::pair<Kind, MidiTrigger>> learned;
        // Something the operator should hear about (an MSC command we do not take).
        QString problem;
    };

    void setTrigger(Kind kind, const MidiTrigger& trigger);
    MidiTrigger trigger(Kind kind) const;
    void setMscDeviceId(int id) { mscDeviceId_ = id; }
    int mscDeviceId() const { return mscDeviceId_; }

    // The next key, button or program that arrives becomes the trigger of `kind`.
    void learn(Kind kind) { learning_ = kind; }
    void cancelLearn() { learning_.reset(); }
    std::optional<Kind> learning() const { return learning_; }

    // One complete MIDI message, status byte first.
    Result feed(const uint8_t* bytes, std::size_t size);

private:
    Result feedMsc(const uint8_t* bytes, std::size_t size);

    std::map<Kind, MidiTrigger> triggers_;
    int mscDeviceId_ = 0;
    std::optional<Kind> learning_;
    // Controllers fire when they cross the middle upwards, so a fader pushed up fires once and a
    // button's release fires nothing.
    std::array<std::array<uint8_t, 128>, 16> controllerValue_{};
};
