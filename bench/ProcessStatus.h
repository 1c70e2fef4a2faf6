#pragma once

#include <fstream>
#include <string>

// The process's resident memory in KiB, from /proc/self/status.
inline long residentKb() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}
