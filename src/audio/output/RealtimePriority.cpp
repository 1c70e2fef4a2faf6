#include "audio/output/RealtimePriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>

namespace {
// Below the sound server's own threads (PulseAudio and PipeWire use 5 to 20 under
// RealtimeKit): the device's server should run before its client.
constexpr int kPriority = 4;
}  // namespace

bool askForRealtimePriority() {
    // A runaway real-time thread could freeze the desktop: the kernel stops it after this
    // much CPU without a sleep (RealtimeKit insists on such a limit, too).
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) == 0 && limit.rlim_max != RLIM_INFINITY) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 200000);
    } else {
        limit.rlim_cur = 200000;
    }
    setrlimit(RLIMIT_RTTIME, &limit);
    sched_param param{};
    param.sched_priority = kPriority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}
