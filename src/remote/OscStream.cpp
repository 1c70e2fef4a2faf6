#include "remote/OscStream.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

OscStream::OscStream(int fd, ReplyTarget peer) : fd_(fd), peer_(std::move(peer)) {}

OscStream::~OscStream() {
    ::close(fd_);
}

OscStream::Read OscStream::read(std::size_t maxMessage,
                                const std::function<void(char*, std::size_t)>& take,
                                std::size_t* claimed) {
    const std::size_t kept = in_.size();
    in_.resize(kept + kReadPerTurn);
    const ssize_t n = ::recv(fd_, in_.data() + kept, kReadPerTurn, MSG_DONTWAIT);
    in_.resize(kept + std::size_t(std::max<ssize_t>(n, 0)));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        return Read::Closed;
    std::size_t at = 0;
    while (in_.size() - at >= 4) {
        uint32_t size;
        std::memcpy(&size, in_.data() + at, 4);
        size = ntohl(size);
        if (size > maxMessage) {
            *claimed = size;
            return Read::TooLarge;
        }
        if (in_.size() - at - 4 < size) break;
        take(in_.data() + at + 4, size);
        at += 4 + size;
    }
    in_.erase(in_.begin(), in_.begin() + std::ptrdiff_t(at));
    return Read::Open;
}

bool OscStream::queue(const std::vector<char>& message) {
    if (out_.size() + message.size() > kMaxBacklog) return false;
    const uint32_t size = htonl(uint32_t(message.size()));
    const char* prefix = reinterpret_cast<const char*>(&size);
    out_.insert(out_.end(), prefix, prefix + 4);
    out_.insert(out_.end(), message.begin(), message.end());
    flush();
    return true;
}

bool OscStream::flush() {
    while (!out_.empty()) {
        const ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        out_.erase(out_.begin(), out_.begin() + n);
    }
    return true;
}
