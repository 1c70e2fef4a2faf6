#pragma once

#include <QString>
#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "remote/ProblemTally.h"
#include "remote/RemoteCommand.h"
#include "remote/ReplyLimiter.h"

// Open Sound Control over UDP. Packets are received and read on a thread of their own; show
// commands leave it through `deliver`, problems through a tally, so a flood never reaches the GUI
// thread as more than a bounded queue and one message a second. Replies are sent from the same
// socket, so they come from the port the client sent to.
class OscServer {
public:
    static constexpr int kDefaultPort = 53100;
    // The largest datagram read whole, and the largest reply sent: one size for both, so our
    // replies fit a client built like us.
    static constexpr std::size_t kMaxPacket = 8192;
    // Titles in replies are cut to this many bytes (at a character's boundary).
    static constexpr std::size_t kMaxReplyTitle = 256;

    struct Config {
        int port = kDefaultPort;
        // false: 127.0.0.1 only; true: every IPv4 interface.
        bool network = false;
        // Sender addresses let in; empty lets everyone in.
        std::vector<std::string> allowedSenders;
        bool operator==(const Config&) const = default;
    };

    // What was wrong with a packet. Kept raw, and described only when the operator is told.
    struct Problem {
        enum class Kind {
            Malformed,
            MalformedBundle,
            UnknownAddress,
            WrongArguments,
            NoSuchCue,
            OutOfRange
        };
        Kind kind;
        std::string subject;  // the address, where there is one
        long number = 0;      // a size or a count of bytes
        long code = 0;        // liblo's error, or the argument types' count
        std::string types;    // the argument types, or the number that is no cue number

        // "unknown address": how the counts group them.
        const char* kindName() const;
        QString text() const;
    };

    // What one packet asks for, and what was wrong with it.
    struct Parsed {
        std::vector<RemoteCommand> commands;
        std::vector<Problem> problems;
    };

    // Called on the receiving thread; false when the command could not be queued.
    using Deliver = std::function<bool(const RemoteCommand&)>;
    using Tell = std::function<void(const QString&)>;

    OscServer(Deliver deliver, Tell tell);
    ~OscServer();
    OscServer(const OscServer&) = delete;
    OscServer& operator=(const OscServer&) = delete;

    // Binds and starts receiving. Returns an empty string, or why it cannot listen.
    QString start(const Config& config);
    void stop();
    bool running() const { return thread_.joinable(); }
    // The bound port (useful when 0 was asked for).
    int port() const { return boundPort_; }

    // Sends the state to each target, from the receiving thread. Any thread may call it.
    void send(const RemoteState& state, const std::vector<ReplyTarget>& targets);

    // Reads one UDP payload: a message or a bundle of them. `from` is where replies would go.
    static Parsed parse(const char* data, std::size_t size, const ReplyTarget& from);
    // The reply message for a state, as sent on the wire: no larger than kMaxPacket. Cues that
    // do not fit are left out (the count says how many follow).
    static std::vector<char> stateMessage(const RemoteState& state);

private:
    void run();
    void receiveSome();
    void take(char* data, std::size_t size, const struct sockaddr_in& from);
    void sendPending();
    void wake();

    Deliver deliver_;
    Tell tell_;
    int socket_ = -1;
    int wakeFd_ = -1;
    int boundPort_ = 0;
    std::vector<std::string> allowed_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;

    std::mutex outboxMutex_;
    std::vector<std::pair<ReplyTarget, std::vector<char>>> outbox_;
    std::vector<char> packets_;
    ProblemTally tally_;
    ReplyLimiter limiter_;
};
