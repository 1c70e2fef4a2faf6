#pragma once

#include <QElapsedTimer>
#include <QScrollBar>
#include <algorithm>
#include <functional>

#include "window/CueTableView.h"

struct PagingTimes {
    double worstMs = 0.0;
    double totalMs = 0.0;
    int steps = 0;
};

// Pages the table to its end and back, each step handled (`settle`) and drawn before the next,
// and times the steps. `afterStep` runs after each step, outside its time.
inline PagingTimes pageToTheEndAndBack(CueTableView& table, const std::function<void()>& settle,
                                       const std::function<void()>& afterStep = {}) {
    QScrollBar* bar = table.verticalScrollBar();
    PagingTimes times;
    QElapsedTimer clock;
    for (int direction : {1, -1}) {
        while (direction > 0 ? bar->value() < bar->maximum() : bar->value() > 0) {
            clock.restart();
            bar->setValue(bar->value() + direction * bar->pageStep());
            settle();
            table.viewport()->repaint();
            const double ms = clock.nsecsElapsed() / 1e6;
            times.worstMs = std::max(times.worstMs, ms);
            times.totalMs += ms;
            ++times.steps;
            if (afterStep) afterStep();
        }
    }
    return times;
}
