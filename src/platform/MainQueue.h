#pragma once

#include <functional>

class QObject;

namespace MainQueue {

// Runs fn on the GUI thread no earlier than `seconds` from now. The delay is rounded up to the
// next millisecond and uses a precise timer, because a coarse one may fire a little early. The
// work is dropped if `context` is destroyed first; a null context means the application.
void runAfter(double seconds, QObject* context, std::function<void()> fn);

// Runs fn on the GUI thread once control returns to the event loop.
void runAsync(QObject* context, std::function<void()> fn);

// The timer interval runAfter uses for a delay in seconds.
int delayMilliseconds(double seconds);

}  // namespace MainQueue
