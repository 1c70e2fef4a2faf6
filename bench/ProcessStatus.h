#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

// The process's resident memory in KiB, from /proc/self/status.
inline long residentKb() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

// CPU time so far of the process's live threads, in ns, summed by thread name. The scheduler's
// own count (schedstat), not the tick-based one: idle threads use well under a tick a second.
inline std::map<std::string, int64_t> threadCpuNs() {
    std::map<std::string, int64_t> out;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream comm(task.path() / "comm"), stat(task.path() / "schedstat");
        std::string name;
        int64_t ns = 0;
        if (std::getline(comm, name) && (stat >> ns)) out[name] += ns;
    }
    return out;
}
