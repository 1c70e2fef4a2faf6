#include "remote/OscServer.h"

#include <arpa/inet.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QStringList>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

namespace {

// Enough for any message a controller sends; bigger datagrams are cut by the kernel and then
// fail to parse, as they should.
constexpr std::size_t kMaxPacket = 8192;
// Datagrams read before the thread looks at its replies again, so a flood cannot starve them.
constexpr int kBurst = 256;
constexpr int kMaxBundleDepth = 4;

using Kind = RemoteCommand::Kind;

QString quoted(const char* path) {
    QString text = QString::fromUtf8(path).left(80);
    return text;
}

double numberOf(char type, lo_arg* arg, bool* ok) {
    *ok = true;
    switch (type) {
        case LO_INT32:
            return arg->i;
        case LO_INT64:
            return double(arg->h);
        case LO_FLOAT:
            return arg->f;
        case LO_DOUBLE:
            return arg->d;
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

// "12" → 12; anything but plain decimal digits (or a number past any list) → -1.
int cueNumber(const std::string& text) {
    if (text.empty() || text.size() > 6) return -1;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

void readMessage(char* data, std::size_t size, const ReplyTarget& from, OscServer::Parsed& out) {
    int result = 0;
    std::unique_ptr<std::remove_pointer_t<lo_message>, decltype(&lo_message_free)> message(
        lo_message_deserialise(data, size, &result), &lo_message_free);
    if (!message) {
        out.problems.emplace_back(
            QStringLiteral("malformed"),
            QStringLiteral("a malformed packet (%1 bytes, liblo error %2)").arg(size).arg(result));
        return;
    }
    // The path is the packet's first string, which the reading above has checked.
    const std::string path(data);
    const char* types = lo_message_get_types(message.get());
    if (!types) types = "";
    lo_arg** argv = lo_message_get_argv(message.get());
    auto wrongTypes = [&] {
        out.problems.emplace_back(QStringLiteral("wrong arguments"),
                                  QStringLiteral("%1 does not take the arguments \"%2\"")
                                      .arg(quoted(path.c_str()), QString::fromLatin1(types)));
    };
    auto command = [&](Kind kind, int cue = 0) {
        RemoteCommand c;
        c.kind = kind;
        c.cue = cue;
        c.replyTo = from;
        c.source = QStringLiteral("OSC");
        out.commands.push_back(std::move(c));
    };

    static const std::string prefix = "/cuevox/";
    if (path.rfind(prefix, 0) != 0) {
        out.problems.emplace_back(QStringLiteral("unknown address"),
                                  QStringLiteral("unknown address %1").arg(quoted(path.c_str())));
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
        bool ok = false;
        const double n = std::strlen(types) == 1 ? numberOf(types[0], argv[0], &ok) : 0.0;
        if (!ok || types[0] == LO_TRUE || types[0] == LO_FALSE || n != std::floor(n))
            return wrongTypes();
        if (n < 1 || n > 999999) {
            out.problems.emplace_back(QStringLiteral("no such cue"),
                                      QStringLiteral("there is no cue %1").arg(n));
            return;
        }
        return command(Kind::Select, int(n));
    }
    if (rest.rfind("cue/", 0) == 0) {
        const std::string tail = rest.substr(4);
        const std::size_t slash = tail.find('/');
        const std::string action = slash == std::string::npos ? "" : tail.substr(slash + 1);
        if (action == "start" || action == "stop") {
            const int n = cueNumber(tail.substr(0, slash));
            if (n < 1) {
                out.problems.emplace_back(
                    QStringLiteral("no such cue"),
                    QStringLiteral("%1 names no cue number").arg(quoted(path.c_str())));
                return;
            }
            bool pressed = false;
            if (!triggerPressed(types, argv, &pressed)) return wrongTypes();
            if (pressed) command(action == "start" ? Kind::Start : Kind::Stop, n);
            return;
        }
    }
    out.problems.emplace_back(QStringLiteral("unknown address"),
                              QStringLiteral("unknown address %1").arg(quoted(path.c_str())));
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
        out.problems.emplace_back(QStringLiteral("malformed"),
                                  QStringLiteral("a malformed bundle (%1 bytes)").arg(size));
        return;
    }
    std::size_t at = 16;
    while (at < size) {
        if (size - at < 4) break;
        const uint32_t length = bigEndian32(data + at);
        at += 4;
        if (length == 0 || length % 4 != 0 || length > size - at) {
            out.problems.emplace_back(
                QStringLiteral("malformed"),
                QStringLiteral("a malformed bundle element (%1 bytes)").arg(length));
            return;
        }
        readPacket(data + at, length, from, out, depth + 1);
        at += length;
    }
    if (at != size)
        out.problems.emplace_back(
            QStringLiteral("malformed"),
            QStringLiteral("a malformed bundle (%1 stray bytes)").arg(size - at + 4));
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
      packet_(kMaxPacket),
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
    for (int i = 0; i < kBurst; ++i) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t size = ::recvfrom(socket_, packet_.data(), packet_.size(), 0,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (size < 0) return;  // drained (EAGAIN) or a transient error; poll tells us more
        const ReplyTarget sender{addressText(from), ntohs(from.sin_port)};
        if (!allowed_.empty() &&
            std::find(allowed_.begin(), allowed_.end(), sender.host) == allowed_.end()) {
            tally_.add(QStringLiteral("from senders not allowed"),
                       QStringLiteral("a packet from %1, which is not an allowed sender")
                           .arg(QString::fromStdString(sender.host)));
            continue;
        }
        const Parsed parsed = parse(packet_.data(), std::size_t(size), sender);
        for (const auto& [kind, detail] : parsed.problems)
            tally_.add(kind, QStringLiteral("%1 from %2:%3")
                                 .arg(detail, QString::fromStdString(sender.host))
                                 .arg(sender.port));
        for (const RemoteCommand& command : parsed.commands)
            if (!deliver_(command))
                tally_.add(QStringLiteral("dropped while the show was busy"),
                           QStringLiteral("a command from %1 was dropped: commands arrive faster "
                                          "than the show takes them")
                               .arg(QString::fromStdString(sender.host)));
    }
}

void OscServer::sendPending() {
    std::vector<std::pair<ReplyTarget, std::vector<char>>> pending;
    {
        std::lock_guard lock(outboxMutex_);
        pending.swap(outbox_);
    }
    for (const auto& [target, message] : pending) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(target.port));
        if (inet_pton(AF_INET, target.host.c_str(), &to.sin_addr) != 1) continue;
        // Best effort, as UDP is: a full send buffer loses this state, the next one follows.
        ::sendto(socket_, message.data(), message.size(), MSG_DONTWAIT,
                 reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
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
    lo_message_add_int32(message.get(), state.selected);
    lo_message_add_int32(message.get(), int32_t(state.playing.size()));
    for (const RemoteState::Playing& cue : state.playing) {
        lo_message_add_int32(message.get(), cue.number);
        lo_message_add_string(message.get(), cue.title.c_str());
        lo_message_add_string(message.get(), cue.state.c_str());
        lo_message_add_float(message.get(), float(cue.position));
    }
    static const char* path = "/cuevox/state";
    std::size_t size = lo_message_length(message.get(), path);
    std::vector<char> bytes(size);
    lo_message_serialise(message.get(), path, bytes.data(), &size);
    bytes.resize(size);
    return bytes;
}
