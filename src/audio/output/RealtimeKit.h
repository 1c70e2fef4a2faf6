#pragma once

#include <sys/types.h>

#include <string>

// RealtimeKit: the system service through which desktop programs get real-time scheduling
// for a thread without the privilege to take it themselves. It grants it only to a process
// whose CPU-time limit for real-time threads is within its own; that limit is set here, with
// a handler that puts every thread it made real-time back to normal scheduling when one of
// them overruns (the kernel's default would end the program).
namespace realtimekit {

// Blocks for a D-Bus round trip at most a second long. False, with the reason, where there is
// no system bus or no such service, or it refuses.
bool makeRealtime(pid_t tid, int priority, std::string* why = nullptr);

}  // namespace realtimekit
