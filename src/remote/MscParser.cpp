#include "remote/MscParser.h"

bool MscMessage::isFor(int ownId) const {
    const bool device = deviceId == ownId || deviceId == kAllCall;
    const bool format =
        commandFormat == kFormatAllTypes || (commandFormat >= 0x10 && commandFormat <= 0x1F);
    return device && format;
}

std::optional<MscMessage> parseMsc(const uint8_t* bytes, std::size_t size) {
    // F0 7F id 02 format command F7 at the least.
    if (size < 7 || bytes[0] != 0xF0 || bytes[1] != 0x7F || bytes[3] != 0x02 ||
        bytes[size - 1] != 0xF7)
        return std::nullopt;
    for (std::size_t i = 1; i + 1 < size; ++i)
        if (bytes[i] & 0x80) return std::nullopt;  // a data byte with its top bit set
    MscMessage message;
    message.deviceId = bytes[2];
    message.commandFormat = bytes[4];
    message.command = bytes[5];
    // The cue number is ASCII digits and '.', ended by 00 (a cue list or path may follow) or by
    // the end of the message.
    for (std::size_t i = 6; i + 1 < size && bytes[i] != 0x00; ++i) {
        const char c = char(bytes[i]);
        if ((c < '0' || c > '9') && c != '.') return std::nullopt;
        message.cueNumber.push_back(c);
    }
    return message;
}
