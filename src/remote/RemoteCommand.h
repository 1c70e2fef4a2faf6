#pragma once

#include <QString>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

class ViewController;

// Where an OSC reply goes: the sender's own address and port, and whether it is the far end of
// a TCP connection (replies go back on it) rather than a UDP socket.
struct ReplyTarget {
    std::string host;
    int port = 0;
    bool stream = false;
    bool operator==(const ReplyTarget&) const = default;
};

// What a lighting desk or a second computer may ask of the show. OSC and MIDI both speak it.
struct RemoteCommand {
    enum class Kind {
        Go,
        StopAll,
        Start,
        Stop,
        Select,
        Next,
        Previous,
        State,
        Subscribe,
        Unsubscribe,
        Panic,
        FadeAll,
        FadeOut,
        PauseAll,
        ResumeAll,
        Master
    };
    Kind kind = Kind::Go;
    // For Start, Stop, FadeOut and Select: the cue's number as the operator set it ("3.5"),
    // never its row, so a desk's numbers survive moves and inserts.
    std::string cue;
    // For State, Subscribe and Unsubscribe.
    ReplyTarget replyTo;
    // Where it came from, for the message area ("OSC", "MIDI").
    QString source;
    // For Master: the level in dB.
    double level = 0.0;

    bool operator==(const RemoteCommand& other) const {
        return kind == other.kind && cue == other.cue && level == other.level &&
               replyTo == other.replyTo;
    }
};

// What /cuevox/state tells: the selected cue and every cue that sounds.
struct RemoteState {
    struct Playing {
        std::string number;
        std::string title;
        std::string state;  // "playing", "fading in", "fading out", "paused"
        double position = 0.0;
        bool operator==(const Playing&) const = default;
    };
    std::string selected;  // the selected cue's number; empty: none
    std::vector<Playing> playing;
    bool operator==(const RemoteState&) const = default;
};

// Reads the show as the window holds it now.
RemoteState remoteStateOf(ViewController& controller);

// Runs one show command through the window's own entry points, so chains, fades and the row
// display follow exactly as for a key or a click. Returns an empty string when it ran, or why
// it could not (a cue number no cue of the list has).
QString applyRemoteCommand(ViewController& controller, const RemoteCommand& command);

// Commands on their way from the receiving threads to the GUI thread. Bounded: a flood from the
// network must cost neither unbounded memory nor an unbounded backlog of show commands that
// would run long after the operator stopped sending them. Questions about the state wait in a
// lane of their own, and the two lanes take turns: a flood of show commands cannot keep a
// monitor from its answer, nor a flood of questions hold the desk's Go back by more than one.
class RemoteQueue {
public:
    static constexpr std::size_t kCapacity = 256;
    static constexpr std::size_t kQueryCapacity = 64;
    enum class Push { Queued, QueuedFirst, Merged, Full };

    // QueuedFirst: the queue was empty, so the GUI thread has to be woken once. Merged: the same
    // command already waits at the tail (a repeated Go, selection or state request), which
    // would add nothing.
    Push push(const RemoteCommand& command);
    // Takes up to `max` commands, a question and a show command in turn, each lane oldest
    // first.
    std::vector<RemoteCommand> take(std::size_t max);
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::deque<RemoteCommand> commands_;
    std::deque<RemoteCommand> queries_;
    // Whose turn it is, kept from one take to the next so that taking one at a time alternates.
    bool queryTurn_ = true;
};
