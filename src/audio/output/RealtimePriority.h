#pragma once

#include <sys/types.h>

// Real-time scheduling for the threads that keep the sound going, so that a busy machine (a
// build, a browser) cannot keep them from the CPU when the device wants its next block. Both
// priorities lie below a sound server's own threads (PulseAudio and PipeWire use 5 to 20
// under RealtimeKit): the server should run before its clients.
constexpr int kAudioPriority = 4;    // the thread that writes to the device, the silent clock
constexpr int kDecoderPriority = 1;  // decoders while a playing voice runs low

// The calling thread, straight from the scheduler (root, or a user with an rtprio limit); a
// thread already real-time at `priority` or above is left as it is. Never waits: safe on an
// audio thread. Returns whether the thread runs real-time at `priority` or above.
bool askForRealtimePriority(int priority = kAudioPriority);

// Thread `tid` of this process: from the scheduler where allowed, else from RealtimeKit on
// the system bus, as desktop audio programs do. May wait for a D-Bus round trip, so never on
// an audio thread. Without either the thread carries on at normal priority; nothing is
// reported. Returns whether it got it.
bool makeThreadRealtime(pid_t tid, int priority = kAudioPriority);

// The calling thread's id, as makeThreadRealtime takes it.
pid_t currentThreadId();

// A decoder worker's priority: real-time while it decodes for a voice that starts or is about
// to run dry (a late chunk is a gap in the show), normal for the rest: keeping a playing voice's
// buffer full, which normal priority does in time even on a busy machine, and start points of
// stopped cues, thousands of them at a load, which must not freeze the window. Switches only
// where the scheduler allows it directly; otherwise the worker stays at normal priority.
class DecoderUrgency {
public:
    void set(bool urgent);

private:
    bool urgent_ = false;
    bool refused_ = false;
};
