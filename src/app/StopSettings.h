#pragma once

#include <QWidget>

class QDoubleSpinBox;

// How the show's way out behaves on this machine: the time Fade All takes (also the fade of a
// cue faded by hand that has no fade-out of its own). Saved as soon as it changes.
class StopSettings : public QWidget {
    Q_OBJECT
public:
    explicit StopSettings(QWidget* parent = nullptr);
    QDoubleSpinBox* fadeAllSeconds() const { return fadeAll_; }

private:
    QDoubleSpinBox* fadeAll_;
};
