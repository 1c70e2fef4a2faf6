#pragma once

#include <QString>

class QObject;

// What a cue's fade operations need from the window that shows it. The fades run long after the
// click that started them, so they go back to the row index they were given and ask the window
// to show the new state there.
class RowDisplay {
public:
    virtual ~RowDisplay() = default;
    // Shows the row as stopped: title "Play", time text and position slider at the cue's start.
    virtual void resetRowDisplay(int row) = 0;
    // No-op when the row has no cell at the moment (scrolled out of view).
    virtual void setPlayButtonTitle(int row, const QString& title) = 0;
    // Pending completions are dropped when this object goes away, so they never reach a window
    // that no longer exists.
    virtual QObject* rowDisplayContext() = 0;
};
