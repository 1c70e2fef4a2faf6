#include "remote/OscServer.h"

#include "audio/ThreadName.h"
#include "model/CueNumbers.h"

#include <arpa/inet.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QStringList>
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

namespace {

// Enough for any message a controller sends; a bigger datagram is cut by the kernel, and is
// told as such rather than read in part.
constexpr std::size_t kMaxPacket = OscServer::kMaxPacket;
// Datagrams read before the thread looks at its replies again, so a flood cannot starve them.
constexpr int kBurst = 2048;
constexpr int kBatch = 64;
constexpr int kMaxBundleDepth = 4;
constexpr int kNiceness = 0;

using Kind = RemoteCommand::Kind;
using Problem = OscServer::Problem;

QString quoted(const std::string& path) {
    return QString::fromUtf8(path.data(), qsizetype(std::min<std::size_t>(path.size(), 80)));
}

// liblo's arguments sit at 4-byte steps in the packet, not where its 8-byte union would be
// aligned; they are read byte-wise.
template <class T>
T argumentAs(const lo_arg* arg) {
    T value;
    std::memcpy(&value, reinterpret_cast<const char*>(arg), sizeof value);
    return value;
}

double numberOf(char type, lo_arg* arg, bool* ok) {
    *ok = true;
    switch (type) {
        case LO_INT32:
            return argumentAs<int32_t>(arg);
        case LO_INT64:
            return double(argumentAs<int64_t>(arg));
        case LO_FLOAT:
            return argumentAs<float>(arg);
        case LO_DOUBLE:
            return argumentAs<double>(arg);
        case LO_TRUE:
            return 1.0;
        case LO_FALSE:
            return 0.0;
        default:
            *ok = false;
            return 0.0;
    }
}

// Buttons on control surfaces send 1 on press and 0 on release; a trigger with no argument is a
// press. Returns false for arguments a trigger cannot take.
bool triggerPressed(const char* types, lo_arg** argv, bool* pressed) {
    const std::size_t argc = std::strlen(types);
    if (argc == 0) {
        *pressed = true;
        return true;
    }
    if (argc != 1) return false;
    bool ok = false;
    const double value = numberOf(types[0], argv[0], &ok);
    *pressed = value != 0.0;
    return ok;
}

// A cue number as a desk sends it: a string as it is, an integer in decimal, a float as its
// shortest decimal ("3.5"; 3.0 is "3"). False when the argument is no number at all (`numeric`
// false), or when `number`, kept for the message, cannot be a cue's.
bool cueNumberOf(char type, lo_arg* arg, std::string* number, bool* numeric) {
    *numeric = true;
    char buffer[400];
    std::to_chars_result written{buffer, {}};
    switch (type) {
        case LO_STRING:
        case LO_SYMBOL:
            *number = cuenumbers::trimmed(std::string(reinterpret_cast<const char*>(arg)));
            return cuenumbers::isValid(*number);
        case LO_INT32:
            *number = std::to_string(argumentAs<int32_t>(arg));
            return true;
        case LO_INT64:
            *number = std::to_string(argumentAs<int64_t>(arg));
            return cuenumbers::isValid(*number);
        case LO_FLOAT:
            written = std::to_chars(buffer, buffer + sizeof buffer, argumentAs<float>(arg),
                                    std::chars_format::fixed);
            break;
        case LO_DOUBLE:
            written = std::to_chars(buffer, buffer + sizeof buffer, argumentAs<double>(arg),
                                    std::chars_format::fixed);
            break;
        default:
            *numeric = false;
            return false;
    }
    // An infinity, or a value past any integer, has no fixed text of a cue number's length.
    *number = written.ec == std::errc() ? std::string(buffer, written.ptr) : std::string("inf");
    return cuenumbers::isValid(*number) && number->find_first_of("ni") == std::string::npos;
}

void readMessage(char* data, std::size_t size, const ReplyTarget& from, OscServer::Parsed& out) {
    int result = 0;
    std::unique_ptr<std::remove_pointer_t<lo_message>, decltype(&lo_message_free)> message(
        lo_message_deserialise(data, size, &result), &lo_message_free);
    if (!message) {
        out.problems.push_back({Problem::Kind::Malformed, {}, long(size), result, {}});
        return;
    }
    // The path is the packet's first string, which the reading above has checked.
    const std::string path(data);
    const char* types = lo_message_get_types(message.get());
    if (!types) types = "";
    lo_arg** argv = lo_message_get_argv(message.get());
    auto wrongTypes = [&] {
        out.problems.push_back({Problem::Kind::WrongArguments, path, 0, 0, types});
    };
    auto command = [&](Kind kind, const std::string& cue = {}) {
        RemoteCommand c;
        c.kind = kind;
        c.cue = cue;
        c.replyTo = from;
        c.source = QStringLiteral("OSC");
        out.commands.push_back(std::move(c));
    };

    static const std::string prefix = "/cuevox/";
    if (path.rfind(prefix, 0) != 0) {
        out.problems.push_back({Problem::Kind::UnknownAddress, path, 0, 0, {}});
        return;
    }
    const std::string rest = path.substr(prefix.size());
    struct Trigger {
        const char* name;
        Kind kind;
    };
    static const Trigger triggers[] = {
        {"go", Kind::Go},
        {"stop_all", Kind::StopAll},
        {"panic", Kind::Panic},
        {"fade_all", Kind::FadeAll},
        {"pause_all", Kind::PauseAll},
        {"resume_all", Kind::ResumeAll},
        {"next", Kind::Next},
        {"previous", Kind::Previous},
        {"state", Kind::State},
        {"subscribe", Kind::Subscribe},
        {"unsubscribe", Kind::Unsubscribe},
    };
    for (const Trigger& t : triggers) {
        if (rest != t.name) continue;
        bool pressed = false;
        if (!triggerPressed(types, argv, &pressed)) return wrongTypes();
        if (pressed) command(t.kind);
        return;
    }
    if (rest == "select") {
        std::string number;
        bool numeric = false;
        if (std::strlen(types) != 1) return wrongTypes();
        if (!cueNumberOf(types[0], argv[0], &number, &numeric)) {
            if (!numeric) return wrongTypes();
            out.problems.push_back({Problem::Kind::OutOfRange, path, 0, 0, number});
            return;
        }
        return command(Kind::Select, number);
    }
    if (rest == "master") {
        // A level in dB; anything below the slider's floor (an infinity too) is silence.
        bool ok = false;
        const double dB = std::strlen(types) == 1 ? numberOf(types[0], argv[0], &ok) : 0.0;
        if (!ok || types[0] == LO_TRUE || types[0] == LO_FALSE || std::isnan(dB))
            return wrongTypes();
        command(Kind::Master);
        out.commands.back().level = std::clamp(dB, -60.0, 0.0);
        return;
    }
    if (rest.rfind("cue/", 0) == 0) {
        const std::string tail = rest.substr(4);
        const std::size_t slash = tail.find('/');
        const std::string action = slash == std::string::npos ? "" : tail.substr(slash + 1);
        if (action == "start" || action == "stop" || action == "fade_out") {
            const std::string number = tail.substr(0, slash);
            if (!cuenumbers::isValid(number)) {
                out.problems.push_back({Problem::Kind::NoSuchCue, path, -1, 0, {}});
                return;
            }
            bool pressed = false;
            if (!triggerPressed(types, argv, &pressed)) return wrongTypes();
            if (pressed)
                command(action == "start"  ? Kind::Start
                        : action == "stop" ? Kind::Stop
                                           : Kind::FadeOut,
                        number);
            return;
        }
    }
    out.problems.push_back({Problem::Kind::UnknownAddress, path, 0, 0, {}});
}

// At most `limit` bytes of `text`, not ending inside a character; a NUL ends it early, as it
// would end the OSC string.
std::string cutUtf8(const std::string& text, std::size_t limit) {
    std::size_t end = std::min({text.size(), limit, std::strlen(text.c_str())});
    if (end < text.size())
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

uint32_t bigEndian32(const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return ntohl(v);
}

void readPacket(char* data, std::size_t size, const ReplyTarget& from, OscServer::Parsed& out,
                int depth) {
    static const char bundleTag[8] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', '\0'};
    if (size < 8 || std::memcmp(data, bundleTag, 8) != 0) return readMessage(data, size, from, out);
    // A bundle: its time tag (ignored: everything runs on arrival), then elements each
    // preceded by its size.
    if (depth >= kMaxBundleDepth || size < 16) {
        out.problems.push_back({Problem::Kind::MalformedBundle, {}, long(size), 0, {}});
        return;
    }
    std::size_t at = 16;
    while (at < size) {
        if (size - at < 4) break;
        const uint32_t length = bigEndian32(data + at);
        at += 4;
        if (length == 0 || length % 4 != 0 || length > size - at) {
            out.problems.push_back({Problem::Kind::MalformedBundle, {}, long(size), 0, {}});
            return;
        }
        readPacket(data + at, length, from, out, depth + 1);
        at += length;
    }
    if (at != size) out.problems.push_back({Problem::Kind::MalformedBundle, {}, long(size), 0, {}});
}

std::string addressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

ReplyTarget targetOf(const sockaddr_in& address, bool stream) {
    return {addressText(address), ntohs(address.sin_port), stream};
}

// The question a monitor floods with, as most clients send it (and as OSC before type tags did):
// known by its bytes, without taking the packet apart.
bool isStateQuestion(const char* data, std::size_t size) {
    static const char tagged[] = "/cuevox/state\0\0\0,\0\0\0";
    return (size == 20 || size == 16) && std::memcmp(data, tagged, size) == 0;
}

bool isQuestion(Kind kind) {
    return kind == Kind::State || kind == Kind::Subscribe || kind == Kind::Unsubscribe;
}

}  // namespace

OscServer::OscServer(Deliver deliver, Tell tell)
    : deliver_(std::move(deliver)),
      tell_(tell),
      packets_(kMaxPacket * kBatch),
      tally_(QStringLiteral("OSC"), tell) {}

OscServer::~OscServer() {
    stop();
}

QString OscServer::start(const Config& config) {
    stop();
    allowed_.clear();
    for (const std::string& sender : config.allowedSenders) {
        in_addr parsed{};
        if (inet_pton(AF_INET, sender.c_str(), &parsed) != 1)
            return QStringLiteral("\"%1\" in the allowed senders is not an IPv4 address")
                .arg(QString::fromStdString(sender));
        allowed_.push_back(parsed.s_addr);
    }
    const QString where =
        QStringLiteral("%1:%2")
            .arg(config.network ? QStringLiteral("every interface") : QStringLiteral("127.0.0.1"))
            .arg(config.port);
    // A port left to the system is free for UDP; TCP may hold it: another one is tried.
    QString failure;
    for (int attempt = 0;; ++attempt) {
        int tcpError = 0;
        failure = listen(config, where, &tcpError);
        if (tcpError != EADDRINUSE || config.port != 0 || attempt == 8) break;
        ::close(socket_);
        socket_ = -1;
    }
    if (!failure.isEmpty()) return failure;
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        // Without it replies would wait for the next packet to arrive, and stop() could not
        // end the thread: better not to listen, and say so.
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        stop();
        return QStringLiteral("cannot listen on %1: no wake-up descriptor (eventfd): %2")
            .arg(where, why);
    }
    filter_.emplace(socket_);
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return {};
}

QString OscServer::listen(const Config& config, const QString& where, int* tcpError) {
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(config.port));
    address.sin_addr.s_addr = htonl(config.network ? INADDR_ANY : INADDR_LOOPBACK);
    if (socket_ < 0 ||
        ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        if (socket_ >= 0) ::close(socket_);
        socket_ = -1;
        return QStringLiteral("cannot listen on %1: %2").arg(where, why);
    }
    socklen_t length = sizeof address;
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort_ = ntohs(address.sin_port);
    // Room for the packets that arrive while this thread waits for a core. Past the system's
    // cap only with the privilege to force it.
    const int asked = kReceiveBuffer;
    if (::setsockopt(socket_, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) != 0)
        ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    length = sizeof receiveBuffer_;
    ::getsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer_, &length);

    tcpFailure_.clear();
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    if (listener_ < 0 || ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, int(kMaxConnections)) != 0) {
        *tcpError = errno;
        tcpFailure_ = QStringLiteral("OSC over TCP: cannot listen on port %1: %2")
                          .arg(boundPort_)
                          .arg(QString::fromLocal8Bit(std::strerror(errno)));
        if (listener_ >= 0) ::close(listener_);
        listener_ = -1;
    }
    return {};
}

void OscServer::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        wake();
        thread_.join();
    }
    streams_.clear();
    filter_.reset();
    for (int* fd : {&socket_, &listener_, &wakeFd_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    boundPort_ = 0;
    waiting_.clear();
    refreshAsked_.reset();
    latest_ = {};
    std::lock_guard lock(outboxMutex_);
    outbox_.clear();
    answer_.reset();
}

void OscServer::wake() {
    const uint64_t one = 1;
    if (wakeFd_ >= 0) {
        [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof one);
    }
}

void OscServer::send(const RemoteState& state, const std::vector<ReplyTarget>& targets) {
    if (targets.empty() || !running()) return;
    const std::vector<char> message = stateMessage(state);
    {
        std::lock_guard lock(outboxMutex_);
        // A client that asks faster than replies leave gets the newest state, not a backlog.
        if (outbox_.size() > 64) outbox_.clear();
        for (const ReplyTarget& target : targets) outbox_.emplace_back(target, message);
    }
    wake();
}

void OscServer::answer(const RemoteState& state) {
    if (!running()) return;
    Snapshot snapshot{stateMessage(state), generation_.load(), Clock::now()};
    {
        std::lock_guard lock(outboxMutex_);
        answer_ = std::move(snapshot);
    }
    wake();
}

void OscServer::run() {
    nameThisThread("cuevox-osc");
    // Beside the window, not below it: niced, a thread loses to any local sender busy at full
    // speed, and the kernel drops the desk's Go with the flood it cannot hand over. The audio
    // runs in real time above both; a flood's cost here is bounded by the filter and the reading.
    ::setpriority(PRIO_PROCESS, pid_t(::gettid()), kNiceness);
    std::vector<pollfd> fds;
    // No timeout while nothing is held back: an idle server costs no wake-ups.
    while (!stopping_) {
        auto due = tally_.flush();
        const auto review = filter_->review(Clock::now());
        if (review.count() >= 0 && (due.count() < 0 || review < due)) due = review;
        fds.assign({{socket_, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {listener_, POLLIN, 0}});
        for (const auto& stream : streams_)
            fds.push_back(
                {stream->fd(), short(POLLIN | (stream->wantsToWrite() ? POLLOUT : 0)), 0});
        ::poll(fds.data(), nfds_t(fds.size()), due.count() < 0 ? -1 : int(due.count()));
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
        }
        if (stopping_) break;
        sendPending();
        if (fds[0].revents & POLLIN) receiveSome();
        // Streams are looked at by their descriptors: accepting adds to the list.
        std::vector<int> ready;
        for (std::size_t i = 3; i < fds.size(); ++i)
            if (fds[i].revents) ready.push_back(fds[i].fd);
        std::erase_if(streams_, [&](const std::unique_ptr<OscStream>& stream) {
            if (std::find(ready.begin(), ready.end(), stream->fd()) == ready.end()) return false;
            bool open = stream->flush();
            if (open) readStream(*stream, &open);
            return !open;
        });
        if (fds[2].revents & POLLIN) accept();
    }
    tally_.flush(ProblemTally::Clock::now() + ProblemTally::kWindow);
}

void OscServer::receiveSome() {
    // Everything queued is read before anything is answered: what the kernel holds for us is
    // what a flood would make it drop.
    for (int round = 0; round < kBurst / kBatch; ++round) {
        // Many datagrams per system call: in a flood the calls, not the reading, cost most.
        std::array<mmsghdr, kBatch> headers{};
        std::array<iovec, kBatch> vectors{};
        std::array<sockaddr_in, kBatch> senders{};
        for (int i = 0; i < kBatch; ++i) {
            vectors[i] = {packets_.data() + std::size_t(i) * kMaxPacket, kMaxPacket};
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
            headers[i].msg_hdr.msg_name = &senders[i];
            headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        }
        // MSG_TRUNC: a datagram cut to the buffer gives its whole size, to be told.
        const int received =
            ::recvmmsg(socket_, headers.data(), kBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
        // A client asking again within one read gets one answer: the same one.
        std::array<const sockaddr_in*, kBatch> askers;
        std::size_t asked = 0;
        for (int i = 0; i < received; ++i) {
            char* data = packets_.data() + std::size_t(i) * kMaxPacket;
            const std::size_t size = headers[i].msg_len;
            const sockaddr_in& from = senders[i];
            if (!allowed(from.sin_addr.s_addr, false)) continue;
            if (isStateQuestion(data, size)) {
                const auto same = [&](const sockaddr_in* a) {
                    return a->sin_addr.s_addr == from.sin_addr.s_addr &&
                           a->sin_port == from.sin_port;
                };
                if (std::none_of(askers.begin(), askers.begin() + asked, same)) {
                    askers[asked++] = &from;
                    questions_.push_back({Kind::State, {}, targetOf(from, false), {}, 0.0});
                }
                continue;
            }
            const ReplyTarget sender = targetOf(from, false);
            if (headers[i].msg_hdr.msg_flags & MSG_TRUNC) {
                tally_.add(QStringLiteral("cut"), [&] {
                    return QStringLiteral(
                               "a packet of %1 bytes from %2:%3 was cut to %4 bytes and not read")
                        .arg(size)
                        .arg(QString::fromStdString(sender.host))
                        .arg(sender.port)
                        .arg(kMaxPacket);
                });
                continue;
            }
            take(data, size, sender);
        }
        answerQuestions();
        // Drained (EAGAIN) or a transient error: poll tells us more.
        if (received < kBatch) return;
    }
}

bool OscServer::allowed(uint32_t address, bool stream) {
    if (allowed_.empty() || std::find(allowed_.begin(), allowed_.end(), address) != allowed_.end())
        return true;
    tally_.add(QStringLiteral("from senders not allowed"), [&] {
        in_addr in{address};
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &in, text, sizeof text);
        return QStringLiteral("a %1 from %2, which is not an allowed sender")
            .arg(stream ? QStringLiteral("TCP connection") : QStringLiteral("packet"),
                 QString::fromLatin1(text));
    });
    return false;
}

void OscServer::accept() {
    for (;;) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&from), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        auto stream = std::make_unique<OscStream>(fd, targetOf(from, true));
        if (!allowed(from.sin_addr.s_addr, true)) continue;
        if (streams_.size() >= kMaxConnections) {
            tally_.add(QStringLiteral("connections refused"), [&] {
                return QStringLiteral("a TCP connection from %1 was refused: %2 are open")
                    .arg(QString::fromStdString(stream->peer().host))
                    .arg(kMaxConnections);
            });
            continue;
        }
        // Replies as soon as they are written, not gathered for a fuller segment.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        streams_.push_back(std::move(stream));
    }
}

void OscServer::readStream(OscStream& stream, bool* open) {
    std::size_t claimed = 0;
    const OscStream::Read read = stream.read(
        kMaxPacket, [&](char* data, std::size_t size) { take(data, size, stream.peer()); },
        &claimed);
    answerQuestions();
    if (read == OscStream::Read::TooLarge)
        tally_.add(QStringLiteral("cut"), [&] {
            return QStringLiteral(
                       "a message of %1 bytes over TCP from %2:%3 is over %4 bytes: the "
                       "connection was closed")
                .arg(claimed)
                .arg(QString::fromStdString(stream.peer().host))
                .arg(stream.peer().port)
                .arg(kMaxPacket);
        });
    *open = read == OscStream::Read::Open;
}

void OscServer::take(char* data, std::size_t size, const ReplyTarget& sender) {
    Parsed parsed;
    readPacket(data, size, sender, parsed, 0);
    for (const Problem& problem : parsed.problems)
        tally_.add(QLatin1String(problem.kindName()), [&] {
            return QStringLiteral("%1 from %2:%3")
                .arg(problem.text(), QString::fromStdString(sender.host))
                .arg(sender.port);
        });
    // The show's commands go at once, in their order; questions wait for the end of the turn,
    // so a Go never queues behind the questions that came with it.
    for (RemoteCommand& command : parsed.commands) {
        if (isQuestion(command.kind)) {
            questions_.push_back(std::move(command));
        } else if (!deliver_(command)) {
            tally_.add(QStringLiteral("dropped while the show was busy"), [&] {
                return QStringLiteral(
                           "a command from %1 was dropped: commands arrive faster "
                           "than the show takes them")
                    .arg(QString::fromStdString(sender.host));
            });
        }
    }
}

void OscServer::answerQuestions() {
    const auto now = Clock::now();
    for (const RemoteCommand& question : questions_) {
        if (question.kind == Kind::State) {
            ask(question.replyTo, now);
        } else if (!deliver_(question)) {
            tally_.add(QStringLiteral("dropped while the show was busy"), [&] {
                return QStringLiteral("a subscription from %1 was dropped: the show is busy")
                    .arg(QString::fromStdString(question.replyTo.host));
            });
        }
    }
    questions_.clear();
}

void OscServer::ask(const ReplyTarget& target, Clock::time_point now) {
    // Counted as it is asked, so that the questions past the limit cost nothing more.
    if (!limiter_.allow(target.host, now)) {
        in_addr address{};
        if (!target.stream && inet_pton(AF_INET, target.host.c_str(), &address) == 1)
            filter_->refused(address.s_addr, now);
        tally_.add(QStringLiteral("replies held back"), [&] {
            return QStringLiteral(
                       "a reply to %1 was held back: it is asked for more than %2 times a second")
                .arg(QString::fromStdString(target.host))
                .arg(ReplyLimiter::kPerSecond);
        });
        return;
    }
    if (!latest_.message.empty() && latest_.generation == generation_.load() &&
        now - latest_.at < kStateFresh)
        return reply(target, latest_.message);
    // One question at a time goes to the window; whoever asks meanwhile gets the same answer.
    // One lost on the way (the show's queue full) is asked again after a while.
    if (std::find(waiting_.begin(), waiting_.end(), target) == waiting_.end() &&
        waiting_.size() < RemoteQueue::kQueryCapacity)
        waiting_.push_back(target);
    if (refreshAsked_ && now - *refreshAsked_ < std::chrono::seconds(1)) return;
    RemoteCommand question{Kind::State, {}, target, QStringLiteral("OSC"), 0.0};
    if (deliver_(question)) refreshAsked_ = now;
}

void OscServer::reply(const ReplyTarget& target, const std::vector<char>& message) {
    if (target.stream) {
        for (const auto& stream : streams_) {
            if (stream->peer() != target) continue;
            if (!stream->queue(message))
                tally_.add(QStringLiteral("replies held back"), [&] {
                    return QStringLiteral(
                               "a reply to %1:%2 over TCP was dropped: it does not read its "
                               "replies")
                        .arg(QString::fromStdString(target.host))
                        .arg(target.port);
                });
        }
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(target.port));
    if (inet_pton(AF_INET, target.host.c_str(), &to.sin_addr) != 1) return;
    // Best effort, as UDP is: a full send buffer loses this state, the next one follows.
    ::sendto(socket_, message.data(), message.size(), MSG_DONTWAIT,
             reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void OscServer::sendPending() {
    std::vector<std::pair<ReplyTarget, std::vector<char>>> pending;
    std::optional<Snapshot> answer;
    {
        std::lock_guard lock(outboxMutex_);
        pending.swap(outbox_);
        answer.swap(answer_);
    }
    if (answer) {
        latest_ = std::move(*answer);
        for (const ReplyTarget& target : waiting_) reply(target, latest_.message);
        waiting_.clear();
        refreshAsked_.reset();
    }
    const auto now = ReplyLimiter::Clock::now();
    for (const auto& entry : pending) {
        const ReplyTarget& target = entry.first;
        if (!limiter_.allow(target.host, now)) {
            tally_.add(QStringLiteral("replies held back"), [&] {
                return QStringLiteral(
                           "a reply to %1 was held back: it is asked for more than %2 "
                           "times a second")
                    .arg(QString::fromStdString(target.host))
                    .arg(ReplyLimiter::kPerSecond);
            });
            continue;
        }
        reply(target, entry.second);
    }
}

const char* OscServer::Problem::kindName() const {
    switch (kind) {
        case Kind::Malformed:
        case Kind::MalformedBundle:
            return "malformed";
        case Kind::UnknownAddress:
            return "unknown address";
        case Kind::WrongArguments:
            return "wrong arguments";
        case Kind::NoSuchCue:
        case Kind::OutOfRange:
            return "no such cue";
    }
    return "";
}

QString OscServer::Problem::text() const {
    switch (kind) {
        case Kind::Malformed:
            return QStringLiteral("a malformed packet (%1 bytes, liblo error %2)")
                .arg(number)
                .arg(code);
        case Kind::MalformedBundle:
            return QStringLiteral("a malformed bundle (%1 bytes)").arg(number);
        case Kind::UnknownAddress:
            return QStringLiteral("unknown address %1").arg(quoted(subject));
        case Kind::WrongArguments:
            return QStringLiteral("%1 does not take the arguments \"%2\"")
                .arg(quoted(subject), QString::fromLatin1(types.c_str()));
        case Kind::NoSuchCue:
            return QStringLiteral("%1 names no cue number").arg(quoted(subject));
        case Kind::OutOfRange:
            return QStringLiteral("%1: \"%2\" is no cue number")
                .arg(quoted(subject), quoted(types));
    }
    return {};
}

OscServer::Parsed OscServer::parse(const char* data, std::size_t size, const ReplyTarget& from) {
    Parsed out;
    // liblo reads from a writable buffer; the caller's stays untouched.
    std::vector<char> copy(data, data + size);
    readPacket(copy.data(), copy.size(), from, out, 0);
    return out;
}

std::vector<char> OscServer::stateMessage(const RemoteState& state) {
    std::unique_ptr<std::remove_pointer_t<lo_message>, decltype(&lo_message_free)> message(
        lo_message_new(), &lo_message_free);
    static const char* path = "/cuevox/state";
    // What fits: the path, the type tags (a comma, two, four a cue, the end) and the
    // arguments, each string with its end and padding to 4 bytes.
    auto padded = [](std::size_t length) { return (length + 4) & ~std::size_t(3); };
    // Numbers are the list's own (at most 12 bytes); cut all the same, as a title is.
    const std::string selected = cutUtf8(state.selected, cuenumbers::kMaxLength);
    std::vector<std::string> titles, numbers;
    std::size_t fits = 0;
    std::size_t data = padded(selected.size()) + 4;
    for (const RemoteState::Playing& cue : state.playing) {
        titles.push_back(cutUtf8(cue.title, OscServer::kMaxReplyTitle));
        numbers.push_back(cutUtf8(cue.number, cuenumbers::kMaxLength));
        const std::size_t more = padded(numbers.back().size()) + padded(titles.back().size()) +
                                 padded(cue.state.size()) + 4;
        const std::size_t size =
            padded(std::strlen(path)) + padded(3 + 4 * (fits + 1)) + data + more;
        if (size > OscServer::kMaxPacket) break;
        data += more;
        ++fits;
    }
    lo_message_add_string(message.get(), selected.c_str());
    lo_message_add_int32(message.get(), int32_t(fits));
    for (std::size_t i = 0; i < fits; ++i) {
        const RemoteState::Playing& cue = state.playing[i];
        lo_message_add_string(message.get(), numbers[i].c_str());
        lo_message_add_string(message.get(), titles[i].c_str());
        lo_message_add_string(message.get(), cue.state.c_str());
        lo_message_add_float(message.get(), float(cue.position));
    }
    std::size_t size = lo_message_length(message.get(), path);
    std::vector<char> bytes(size);
    lo_message_serialise(message.get(), path, bytes.data(), &size);
    bytes.resize(size);
    return bytes;
}
