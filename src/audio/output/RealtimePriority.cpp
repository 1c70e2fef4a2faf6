#include "audio/output/RealtimePriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "audio/output/RealtimeKit.h"

namespace {

bool setFifo(pid_t tid, int priority) {
    // No CPU-time limit of our own: past it the kernel kills the whole program with SIGXCPU,
    // and a device whose callback never sleeps (a null device, a slowed build) would end the
    // show. A runaway thread cannot freeze the desktop either way: the kernel keeps a share
    // of every second for threads that are not real-time.
    sched_param param{};
    param.sched_priority = priority;
    return sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

}  // namespace

pid_t currentThreadId() {
    return pid_t(::syscall(SYS_gettid));
}

bool askForRealtimePriority(int priority) {
    // A thread someone else made real-time above us (JACK's own process thread, which runs
    // the PortAudio callback under JACK) keeps its place: lowering it would put the server's
    // whole graph behind our decoders' neighbours.
    sched_param current{};
    const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    if ((policy == SCHED_FIFO || policy == SCHED_RR) && sched_getparam(0, &current) == 0 &&
        current.sched_priority >= priority)
        return true;
    return setFifo(0, priority);
}

bool makeThreadRealtime(pid_t tid, int priority) {
    if (setFifo(tid, priority)) return true;
    return realtimekit::makeRealtime(tid, priority);
}

void DecoderUrgency::set(bool urgent) {
    if (urgent == urgent_ || (urgent && refused_)) return;
    if (urgent) {
        if (!askForRealtimePriority(kDecoderPriority)) {
            refused_ = true;
            return;
        }
    } else {
        const sched_param param{};
        sched_setscheduler(0, SCHED_OTHER | SCHED_RESET_ON_FORK, &param);
    }
    urgent_ = urgent;
}
