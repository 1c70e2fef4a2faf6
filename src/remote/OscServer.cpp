#include "remote/OscServer.h"

#include "audio/ThreadName.h"
#include "model/CueNumbers.h"

#include <arpa/inet.h>
#include <lo/lo.h>
#include <netinet/in.h>
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
constexpr int kBurst = 256;
constexpr int kBatch = 32;
constexpr int kMaxBundleDepth = 4;
constexpr int kNiceness = 10;

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
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &parsed, text, sizeof text);
        allowed_.push_back(text);
    }
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(config.port));
    address.sin_addr.s_addr = htonl(config.network ? INADDR_ANY : INADDR_LOOPBACK);
    const QString where =
        QStringLiteral("%1:%2")
            .arg(config.network ? QStringLiteral("every interface") : QStringLiteral("127.0.0.1"))
            .arg(config.port);
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
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        // Without it replies would wait for the next packet to arrive, and stop() could not
        // end the thread: better not to listen, and say so.
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        ::close(socket_);
        socket_ = -1;
        boundPort_ = 0;
        return QStringLiteral("cannot listen on %1: no wake-up descriptor (eventfd): %2")
            .arg(where, why);
    }
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return {};
}

void OscServer::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        wake();
        thread_.join();
    }
    if (socket_ >= 0) ::close(socket_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    socket_ = wakeFd_ = -1;
    boundPort_ = 0;
    std::lock_guard lock(outboxMutex_);
    outbox_.clear();
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

void OscServer::run() {
    nameThisThread("cuevox-osc");
    // Below the audio and the window: in a flood this thread would rather lose packets (the
    // kernel drops what it cannot take) than time that the show needs.
    ::setpriority(PRIO_PROCESS, pid_t(::gettid()), kNiceness);
    // No timeout while nothing is held back: an idle server costs no wake-ups.
    while (!stopping_) {
        const auto due = tally_.flush();
        pollfd fds[2] = {{socket_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        ::poll(fds, 2, due.count() < 0 ? -1 : int(due.count()));
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
        }
        if (stopping_) break;
        sendPending();
        if (fds[0].revents & POLLIN) receiveSome();
    }
    tally_.flush(ProblemTally::Clock::now() + ProblemTally::kWindow);
}

void OscServer::receiveSome() {
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
        if (received <= 0) return;  // drained (EAGAIN) or a transient error; poll tells us more
        for (int i = 0; i < received; ++i) {
            if (headers[i].msg_hdr.msg_flags & MSG_TRUNC) {
                const ReplyTarget sender{addressText(senders[i]), ntohs(senders[i].sin_port)};
                tally_.add(QStringLiteral("cut"), [&] {
                    return QStringLiteral(
                               "a packet of %1 bytes from %2:%3 was cut to %4 bytes and not read")
                        .arg(headers[i].msg_len)
                        .arg(QString::fromStdString(sender.host))
                        .arg(sender.port)
                        .arg(kMaxPacket);
                });
                continue;
            }
            take(packets_.data() + std::size_t(i) * kMaxPacket, headers[i].msg_len, senders[i]);
        }
        if (received < kBatch) return;
    }
}

void OscServer::take(char* data, std::size_t size, const sockaddr_in& from) {
    const ReplyTarget sender{addressText(from), ntohs(from.sin_port)};
    if (!allowed_.empty() &&
        std::find(allowed_.begin(), allowed_.end(), sender.host) == allowed_.end()) {
        tally_.add(QStringLiteral("from senders not allowed"), [&] {
            return QStringLiteral("a packet from %1, which is not an allowed sender")
                .arg(QString::fromStdString(sender.host));
        });
        return;
    }
    Parsed parsed;
    readPacket(data, size, sender, parsed, 0);
    for (const Problem& problem : parsed.problems)
        tally_.add(QLatin1String(problem.kindName()), [&] {
            return QStringLiteral("%1 from %2:%3")
                .arg(problem.text(), QString::fromStdString(sender.host))
                .arg(sender.port);
        });
    for (const RemoteCommand& command : parsed.commands)
        if (!deliver_(command))
            tally_.add(QStringLiteral("dropped while the show was busy"), [&] {
                return QStringLiteral(
                           "a command from %1 was dropped: commands arrive faster "
                           "than the show takes them")
                    .arg(QString::fromStdString(sender.host));
            });
}

void OscServer::sendPending() {
    std::vector<std::pair<ReplyTarget, std::vector<char>>> pending;
    {
        std::lock_guard lock(outboxMutex_);
        pending.swap(outbox_);
    }
    const auto now = ReplyLimiter::Clock::now();
    for (const auto& entry : pending) {
        const ReplyTarget& target = entry.first;
        const std::vector<char>& message = entry.second;
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
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(target.port));
        if (inet_pton(AF_INET, target.host.c_str(), &to.sin_addr) != 1) continue;
        // Best effort, as UDP is: a full send buffer loses this state, the next one follows.
        ::sendto(socket_, message.data(), message.size(), MSG_DONTWAIT,
                 reinterpret_cast<sockaddr*>(&to), sizeof to);
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
