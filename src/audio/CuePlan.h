#pragma once

#include <cstdint>

struct Voice;

// How a cue plays by itself once started, in frames of the engine's rate: the window sets it
// whenever the cue or the list around it changes, and the mixer reads it at every start, cut
// end, fade and chained start, so none of them waits for the window.
struct CuePlan {
    int64_t startFrame = 0;
    float volume = 1.0f;
    int64_t loops = 0;
    int64_t fadeInFrames = -1;   // < 0: no fade-in
    int64_t fadeOutFrames = -1;  // < 0: no fade-out
    // The end the automatic fade-out reaches silence at (the cut end or the file's end); < 0:
    // no automatic fade-out.
    int64_t fadeOutEnd = -1;
    int64_t cutEnd = -1;    // < 0: the cue plays to the end of its file
    Voice* next = nullptr;  // the cue after this one in the list
    // Frames from this cue's first frame (extend) or from just past its last (persist) to the
    // next cue's first; < 0: that chain is off.
    int64_t extendDelay = -1;
    int64_t persistDelay = -1;
    bool operator==(const CuePlan&) const = default;
};
