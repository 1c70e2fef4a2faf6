#pragma once

// Asks for real-time scheduling for the calling audio thread, so that a busy machine (a build,
// a browser) cannot keep it from the CPU when the device wants its next block. Tries the
// scheduler directly (allowed to root and to users with an rtprio limit), then RealtimeKit on
// the system bus, as desktop audio programs do. Without either the thread carries on at
// normal priority; nothing is reported. Returns whether it got it.
bool askForRealtimePriority();
