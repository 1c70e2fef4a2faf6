#include "remote/QuestionFilter.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {

// The packet as the filter sees it: the UDP header, then the payload.
constexpr uint32_t kPayload = 8;

uint32_t word(const char* text) {
    uint32_t w;
    std::memcpy(&w, text, 4);
    return ntohl(w);
}

}  // namespace

void QuestionFilter::refused(uint32_t address, Clock::time_point now) {
    if (now - since_ >= std::chrono::seconds(1)) {
        refusals_.clear();
        since_ = now;
    }
    if (++refusals_[address] != kFlood || flooders_.size() >= kMaxFlooders) return;
    if (std::find(flooders_.begin(), flooders_.end(), address) != flooders_.end()) return;
    flooders_.push_back(address);
    install();
}

std::chrono::milliseconds QuestionFilter::review(Clock::time_point now) {
    using std::chrono::milliseconds;
    if (flooders_.empty()) return milliseconds(-1);
    const auto due = since_ + std::chrono::seconds(1);
    if (now < due) return std::chrono::duration_cast<milliseconds>(due - now) + milliseconds(1);
    // Thinned, a flood still goes past the limit; a sender that has calmed down does not.
    const std::size_t before = flooders_.size();
    std::erase_if(flooders_, [&](uint32_t address) { return refusals_[address] == 0; });
    refusals_.clear();
    since_ = now;
    if (flooders_.size() != before) install();
    return flooders_.empty() ? milliseconds(-1) : milliseconds(1000);
}

void QuestionFilter::install() {
    if (flooders_.empty()) {
        const int unused = 0;
        ::setsockopt(socket_, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused);
        return;
    }
    static const char question[] = "/cuevox/state\0\0\0";
    const auto n = uint8_t(flooders_.size());
    // Jumps count the instructions skipped: `to(target)` from the one being added.
    std::vector<sock_filter> code;
    const std::size_t kept = 12 + n;  // the verdict for everything but a flooder's question
    const auto to = [&](std::size_t target) { return uint8_t(target - code.size() - 1); };
    code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_LEN, 0));
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kPayload + 20, 1, 0));
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kPayload + 16, 0, to(kept)));
    for (uint32_t i = 0; i < 4; ++i) {
        code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kPayload + 4 * i));
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, word(question + 4 * i), 0, to(kept)));
    }
    code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, uint32_t(SKF_NET_OFF + 12)));
    for (uint8_t i = 0; i < n; ++i)
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(flooders_[i]), to(kept + 1), 0));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF));
    code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, uint32_t(SKF_AD_OFF + SKF_AD_RANDOM)));
    code.push_back(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, kKeepOneIn - 1));
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0));  // thinned away
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF));
    sock_fprog program{uint16_t(code.size()), code.data()};
    ::setsockopt(socket_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
}
