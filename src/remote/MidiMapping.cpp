#include "remote/MidiMapping.h"

#include <QStringList>

#include "model/CueNumbers.h"
#include "remote/MscParser.h"

namespace {

constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kProgramChange = 0xC0;
constexpr int kControllerMiddle = 64;

RemoteCommand commandOf(RemoteCommand::Kind kind, const std::string& cue = {}) {
    RemoteCommand command;
    command.kind = kind;
    command.cue = cue;
    command.source = QStringLiteral("MIDI");
    return command;
}

}  // namespace

QString MidiTrigger::text() const {
    const int shownChannel = channel + 1;
    switch (type) {
        case Type::Note:
            return QStringLiteral("Note %1, channel %2").arg(number).arg(shownChannel);
        case Type::ControlChange:
            return QStringLiteral("Controller %1, channel %2").arg(number).arg(shownChannel);
        case Type::ProgramChange:
            return QStringLiteral("Program %1, channel %2").arg(number).arg(shownChannel);
        case Type::None:
            break;
    }
    return QStringLiteral("Not set");
}

QString MidiTrigger::key() const {
    static const char* names[] = {"", "note", "cc", "pc"};
    if (!valid()) return {};
    return QStringLiteral("%1 %2 %3").arg(names[int(type)]).arg(channel + 1).arg(number);
}

MidiTrigger MidiTrigger::fromKey(const QString& key) {
    const QStringList parts = key.split(' ', Qt::SkipEmptyParts);
    if (parts.size() != 3) return {};
    MidiTrigger trigger;
    if (parts[0] == "note") {
        trigger.type = Type::Note;
    } else if (parts[0] == "cc") {
        trigger.type = Type::ControlChange;
    } else if (parts[0] == "pc") {
        trigger.type = Type::ProgramChange;
    } else {
        return {};
    }
    bool okChannel = false, okNumber = false;
    trigger.channel = parts[1].toInt(&okChannel) - 1;
    trigger.number = parts[2].toInt(&okNumber);
    if (!okChannel || !okNumber || trigger.channel < 0 || trigger.channel > 15 ||
        trigger.number < 0 || trigger.number > 127)
        return {};
    return trigger;
}

const std::vector<MidiMapping::Kind>& MidiMapping::learnable() {
    static const std::vector<Kind> kinds = {Kind::Go, Kind::StopAll, Kind::Next, Kind::Previous};
    return kinds;
}

QString MidiMapping::nameOf(Kind kind) {
    switch (kind) {
        case Kind::Go:
            return QStringLiteral("Go");
        case Kind::StopAll:
            return QStringLiteral("Stop All");
        case Kind::Next:
            return QStringLiteral("Select next");
        case Kind::Previous:
            return QStringLiteral("Select previous");
        default:
            return {};
    }
}

void MidiMapping::setTrigger(Kind kind, const MidiTrigger& trigger) {
    if (!trigger.valid()) {
        triggers_.erase(kind);
        return;
    }
    // One key fires one command: learning it for another takes it away from the first.
    for (auto it = triggers_.begin(); it != triggers_.end();)
        it = it->second == trigger && it->first != kind ? triggers_.erase(it) : std::next(it);
    triggers_[kind] = trigger;
}

MidiTrigger MidiMapping::trigger(Kind kind) const {
    const auto it = triggers_.find(kind);
    return it == triggers_.end() ? MidiTrigger{} : it->second;
}

MidiMapping::Result MidiMapping::feed(const uint8_t* bytes, std::size_t size) {
    if (size == 0) return {};
    if (bytes[0] == 0xF0) return feedMsc(bytes, size);
    const uint8_t status = bytes[0] & 0xF0;
    const int channel = bytes[0] & 0x0F;
    MidiTrigger pressed;
    if (status == kNoteOn && size >= 3 && bytes[2] > 0) {
        // A note on with velocity 0 is a note off.
        pressed = {MidiTrigger::Type::Note, channel, bytes[1] & 0x7F};
    } else if (status == kControlChange && size >= 3) {
        const int number = bytes[1] & 0x7F;
        const int value = bytes[2] & 0x7F;
        const int before = controllerValue_[std::size_t(channel)][std::size_t(number)];
        controllerValue_[std::size_t(channel)][std::size_t(number)] = uint8_t(value);
        if (before < kControllerMiddle && value >= kControllerMiddle)
            pressed = {MidiTrigger::Type::ControlChange, channel, number};
    } else if (status == kProgramChange && size >= 2) {
        pressed = {MidiTrigger::Type::ProgramChange, channel, bytes[1] & 0x7F};
    }
    if (!pressed.valid()) return {};

    Result result;
    if (learning_) {
        setTrigger(*learning_, pressed);
        result.learned = std::make_pair(*learning_, pressed);
        learning_.reset();
        return result;
    }
    for (const auto& [kind, trigger] : triggers_)
        if (trigger == pressed) result.commands.push_back(commandOf(kind));
    return result;
}

MidiMapping::Result MidiMapping::feedMsc(const uint8_t* bytes, std::size_t size) {
    Result result;
    const std::optional<MscMessage> msc = parseMsc(bytes, size);
    if (!msc || !msc->isFor(mscDeviceId_)) return result;
    // The desk's number as sent ("3.5"): the cue that carries it is looked up when it runs.
    const std::string& cue = msc->cueNumber;
    if (!cue.empty() && !cuenumbers::isValid(cue)) {
        result.problem = QStringLiteral("MSC cue number \"%1\" is not a cue of the list")
                             .arg(QString::fromStdString(cue));
        return result;
    }
    switch (msc->command) {
        case MscMessage::kGo:
            result.commands.push_back(!cue.empty() ? commandOf(Kind::Start, cue)
                                                   : commandOf(Kind::Go));
            break;
        case MscMessage::kStop:
            // STOP of the whole show holds it, as the desk's RESUME takes it on.
            result.commands.push_back(!cue.empty() ? commandOf(Kind::Stop, cue)
                                                   : commandOf(Kind::PauseAll));
            break;
        case MscMessage::kResume:
            if (cue.empty()) {
                result.commands.push_back(commandOf(Kind::ResumeAll));
                break;
            }
            result.problem = QStringLiteral("MSC RESUME of one cue is not taken (RESUME alone is)");
            break;
        case MscMessage::kAllOff:
            result.commands.push_back(commandOf(Kind::Panic));
            break;
        default:
            result.problem = QStringLiteral(
                                 "MSC command 0x%1 is not one Cuevox takes (GO, STOP, RESUME, "
                                 "ALL_OFF)")
                                 .arg(msc->command, 2, 16, QLatin1Char('0'));
    }
    return result;
}
