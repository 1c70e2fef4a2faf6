#pragma once

#include <QString>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "remote/OscStream.h"
#include "remote/ProblemTally.h"
#include "remote/QuestionFilter.h"
#include "remote/RemoteCommand.h"
#include "remote/ReplyLimiter.h"

// Open Sound Control over UDP, and over TCP on the same port number for a desk that needs every
// message delivered. Packets are received and read on a thread of their own; show commands leave
// it through `deliver`, problems through a tally, so a flood never reaches the GUI thread as more
// than a bounded queue and one message a second. UDP replies are sent from the same socket, so
// they come from the port the client sent to; TCP replies go back on the connection.
//
// A flood must not cost a Go: the kernel drops what does not fit the socket's buffer, so the
// thread reads everything queued at each wake-up, the buffer is large, and questions about the
// state, which a monitor may send as fast as it can, cost little: each sender's are limited, and
// they are answered from the last state the window gave while nothing has changed since.
class OscServer {
public:
    static constexpr int kDefaultPort = 53100;
    // The largest datagram read whole, and the largest reply sent: one size for both, so our
    // replies fit a client built like us.
    static constexpr std::size_t kMaxPacket = 8192;
    // Titles in replies are cut to this many bytes (at a character's boundary).
    static constexpr std::size_t kMaxReplyTitle = 256;
    // The UDP receive buffer asked for. Without privileges the system caps it at
    // net.core.rmem_max (and reports twice what it grants).
    static constexpr int kReceiveBuffer = 8 * 1024 * 1024;
    // How long the state the window gave answers questions, when no command ran since.
    static constexpr std::chrono::milliseconds kStateFresh{20};
    static constexpr std::size_t kMaxConnections = 16;

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
    // TCP is tried on the same port; when it cannot be had, UDP runs alone and tcpFailure() says
    // why.
    QString start(const Config& config);
    void stop();
    bool running() const { return thread_.joinable(); }
    // The bound port (useful when 0 was asked for).
    int port() const { return boundPort_; }
    QString tcpFailure() const { return tcpFailure_; }
    // The UDP receive buffer the system granted, in bytes.
    int receiveBuffer() const { return receiveBuffer_; }

    // Sends the state to each target, from the receiving thread. Any thread may call it.
    void send(const RemoteState& state, const std::vector<ReplyTarget>& targets);
    // The state, asked for by a State command: answers everyone who asked since.
    void answer(const RemoteState& state);
    // A command ran: the state given last no longer answers questions.
    void stateChanged() { ++generation_; }

    // Reads one UDP payload: a message or a bundle of them. `from` is where replies would go.
    static Parsed parse(const char* data, std::size_t size, const ReplyTarget& from);
    // The reply message for a state, as sent on the wire: no larger than kMaxPacket. Cues that
    // do not fit are left out (the count says how many follow).
    static std::vector<char> stateMessage(const RemoteState& state);

private:
    using Clock = std::chrono::steady_clock;
    struct Snapshot {
        std::vector<char> message;
        unsigned generation = 0;
        Clock::time_point at{};
    };

    QString listen(const Config& config, const QString& where, int* tcpError);
    void run();
    void receiveSome();
    void accept();
    void readStream(OscStream& stream, bool* open);
    bool allowed(uint32_t address, bool stream);
    void take(char* data, std::size_t size, const ReplyTarget& sender);
    void answerQuestions();
    void ask(const ReplyTarget& target, Clock::time_point now);
    void reply(const ReplyTarget& target, const std::vector<char>& message);
    void sendPending();
    void wake();

    Deliver deliver_;
    Tell tell_;
    int socket_ = -1;
    int listener_ = -1;
    int wakeFd_ = -1;
    int boundPort_ = 0;
    int receiveBuffer_ = 0;
    QString tcpFailure_;
    std::vector<uint32_t> allowed_;  // network byte order
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::vector<std::unique_ptr<OscStream>> streams_;

    std::mutex outboxMutex_;
    std::vector<std::pair<ReplyTarget, std::vector<char>>> outbox_;
    std::optional<Snapshot> answer_;
    std::atomic<unsigned> generation_{0};

    // The receiving thread's own.
    std::vector<char> packets_;
    // Questions of the packets read in a turn, answered once their show commands are queued.
    std::vector<RemoteCommand> questions_;
    Snapshot latest_;
    std::vector<ReplyTarget> waiting_;
    std::optional<Clock::time_point> refreshAsked_;
    ProblemTally tally_;
    ReplyLimiter limiter_;
    std::optional<QuestionFilter> filter_;
};
