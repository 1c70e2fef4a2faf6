#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "remote/RemoteCommand.h"

// One OSC connection over TCP, for a desk that needs every message delivered. Each message comes
// after its size (a 32-bit big-endian count, as OSC 1.0 streams and liblo frame them), and
// replies go back the same way. The socket is non-blocking throughout: a client that stops
// halfway through a message, or stops reading its replies, holds up nobody but itself.
class OscStream {
public:
    // Bytes read from one connection per turn of the receiving thread, so that a flood over one
    // connection leaves the others and the UDP socket their turn.
    static constexpr std::size_t kReadPerTurn = 64 * 1024;
    // Replies a client has not read yet, beyond which newer ones are dropped.
    static constexpr std::size_t kMaxBacklog = 64 * 1024;

    // Takes the connected socket.
    OscStream(int fd, ReplyTarget peer);
    ~OscStream();
    OscStream(const OscStream&) = delete;
    OscStream& operator=(const OscStream&) = delete;

    int fd() const { return fd_; }
    const ReplyTarget& peer() const { return peer_; }

    enum class Read { Open, Closed, TooLarge };
    // Reads what has arrived and hands each whole message to `take`. Closed: the client went
    // (a message it left unfinished is dropped). TooLarge: a message claims more than
    // `maxMessage` bytes (`*claimed`): the stream cannot be followed past it.
    Read read(std::size_t maxMessage, const std::function<void(char*, std::size_t)>& take,
              std::size_t* claimed);
    // Queues a reply and sends what the socket takes; false when it was dropped.
    bool queue(const std::vector<char>& message);
    // Sends what is queued, as far as the socket takes it; false when the connection broke.
    bool flush();
    bool wantsToWrite() const { return !out_.empty(); }

private:
    int fd_;
    ReplyTarget peer_;
    std::vector<char> in_;
    std::vector<char> out_;
};
