// Feeds arbitrary bytes to what reads packets and MIDI from outside: the OSC reader (messages and
// bundles) and the MIDI mapping with Show Control. Besides crashes, it checks that a packet never
// turns into more than its size could hold, and that every command names a cue by a number fit to
// store when it names one at all: the GUI thread trusts both.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "model/CueNumbers.h"
#include "remote/MidiMapping.h"
#include "remote/OscServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using Kind = RemoteCommand::Kind;
    const OscServer::Parsed parsed =
        OscServer::parse(reinterpret_cast<const char*>(data), size, {"127.0.0.1", 9000});
    // The smallest message is 8 bytes ("/\0\0\0,\0\0\0"); a bundle element costs 4 more.
    if (parsed.commands.size() + parsed.problems.size() > size / 8 + 1) std::abort();
    for (const RemoteCommand& c : parsed.commands) {
        const bool numbered = c.kind == Kind::Start || c.kind == Kind::Stop ||
                              c.kind == Kind::Select || c.kind == Kind::FadeOut;
        if (numbered ? !cuenumbers::isValid(c.cue) : !c.cue.empty()) std::abort();
        (void)c.source.size();
    }
    for (const OscServer::Problem& p : parsed.problems) (void)p.text();

    MidiMapping mapping;
    mapping.setMscDeviceId(1);
    mapping.setTrigger(Kind::Go, {MidiTrigger::Type::Note, 0, 60});
    const MidiMapping::Result result = mapping.feed(data, size);
    for (const RemoteCommand& c : result.commands) {
        const bool numbered = c.kind == Kind::Start || c.kind == Kind::Stop;
        if (numbered ? !cuenumbers::isValid(c.cue) : !c.cue.empty()) std::abort();
    }
    return 0;
}
