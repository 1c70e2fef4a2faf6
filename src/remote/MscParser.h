#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// MIDI Show Control: a universal real-time system exclusive message,
// F0 7F <device ID> 02 <command format> <command> <data…> F7.
struct MscMessage {
    static constexpr int kAllCall = 0x7F;
    static constexpr int kFormatAllTypes = 0x7F;
    static constexpr int kGo = 0x01;
    static constexpr int kStop = 0x02;
    static constexpr int kResume = 0x03;
    static constexpr int kAllOff = 0x08;

    int deviceId = 0;
    int commandFormat = 0;
    int command = 0;
    // The cue number that follows the command, as sent ("12", "3.5"); empty when none was.
    std::string cueNumber;

    // For the device whose ID is `ownId`: its own ID or the all-call, in a sound format (general
    // sound and its kinds, 0x10 to 0x1F) or all types. Lighting and other formats on the same
    // MIDI line are for other equipment.
    bool isFor(int ownId) const;
};

// Reads one complete message; nothing when it is not MSC or is cut short.
std::optional<MscMessage> parseMsc(const uint8_t* bytes, std::size_t size);
