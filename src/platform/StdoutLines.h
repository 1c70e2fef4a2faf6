#pragma once

#include <string>

// Lines for the standard output written by a thread of their own, in order: a reader that
// stops reading (a full pipe, a stopped terminal) must never hold up the thread that fires
// cues. Past kMaxQueued lines waiting, the newest are dropped and counted in a line of
// their own once the output moves again.
namespace stdoutlines {

constexpr int kMaxQueued = 10000;

void write(std::string line);
// Waits until every line written so far is out (for a reader of std::cout on this side:
// tests); false when the output did not take them within `timeoutMs`.
bool drain(int timeoutMs = 2000);

}  // namespace stdoutlines
