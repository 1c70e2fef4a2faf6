#include "window/HeldKeys.h"

#include <QKeyEvent>

bool HeldKeys::pressed(const QKeyEvent& key) {
    State& state = keys_[key.key()];
    // An event made inside the program carries no time (0), and only its own flag says repeat.
    const bool repeat = key.isAutoRepeat() || state.down ||
                        (key.timestamp() != 0 && key.timestamp() == state.releasedAt);
    state.down = true;
    return !repeat;
}

void HeldKeys::released(const QKeyEvent& key) {
    if (key.isAutoRepeat()) return;  // the key is still held
    State& state = keys_[key.key()];
    state.down = false;
    state.releasedAt = key.timestamp();
}
