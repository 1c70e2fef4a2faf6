#pragma once

#include <QHash>

class QKeyEvent;

// Which keys are down, told apart from the window system's repeats of a key held down.
//
// X repeats a held key as a release and a press stamped with the same server time. Qt's own
// repeat flag is set only when that press is already queued while the release is handled, so
// under load, or when the pair is read in two parts, a repeat comes as a new press. The shared
// time stamp tells the pair apart whatever the timing; a server that repeats with presses alone
// (detectable auto-repeat) sends no release until the key comes up, which the key's state shows.
class HeldKeys {
public:
    // True when the key went down; false for a repeat of a key held down.
    bool pressed(const QKeyEvent& key);
    void released(const QKeyEvent& key);
    // The keyboard went to another program, which receives the releases from now on.
    void clear() { keys_.clear(); }

private:
    struct State {
        bool down = false;
        quint64 releasedAt = 0;
    };
    QHash<int, State> keys_;
};
