#include "audio/output/RealtimePriority.h"

#include <pthread.h>
#include <sched.h>

namespace {
// Below the sound server's own threads (PulseAudio and PipeWire use 5 to 20 under
// RealtimeKit): the device's server should run before its client.
constexpr int kPriority = 4;
}  // namespace

bool askForRealtimePriority() {
    // No CPU-time limit: past it the kernel kills the whole program with SIGXCPU, and a device
    // whose callback never sleeps (a null device, a slowed build) would end the show. A runaway
    // thread cannot freeze the desktop either way: the kernel keeps a share of every second
    // for threads that are not real-time.
    sched_param param{};
    param.sched_priority = kPriority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}
