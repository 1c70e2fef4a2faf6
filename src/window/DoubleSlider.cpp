#include "window/DoubleSlider.h"

#include <algorithm>
#include <cmath>

#include "window/CueAccessibility.h"

DoubleSlider::DoubleSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    init();
}

DoubleSlider::DoubleSlider(Qt::Orientation orientation, QWidget* parent)
    : QSlider(orientation, parent) {
    init();
}

void DoubleSlider::init() {
    cueaccessibility::install();
    QSlider::setRange(0, kSteps);
    // From the keyboard an arrow moves 1 % of the range and a page 10 %; one step of the
    // handle's resolution would take a thousand presses to cross a fader.
    QSlider::setSingleStep(kSteps / 100);
    QSlider::setPageStep(kSteps / 10);
    connect(this, &QSlider::valueChanged, this, [this](int step) {
        if (settingFromCode_) return;
        value_ = valueAtStep(step);
        emit doubleValueChanged(value_);
    });
}

void DoubleSlider::setMinValue(double minimum) {
    min_ = minimum;
    placeHandle();
}

void DoubleSlider::setMaxValue(double maximum) {
    max_ = maximum;
    placeHandle();
}

void DoubleSlider::setDoubleValue(double value) {
    value_ = value;
    placeHandle();
}

void DoubleSlider::moveToValue(double value) {
    if (!std::isfinite(value)) return;
    value_ = std::clamp(value, std::min(min_, max_), std::max(min_, max_));
    placeHandle();
    emit doubleValueChanged(value_);
}

double DoubleSlider::valueAtStep(int step) const {
    if (step <= 0) return min_;
    if (step >= kSteps) return max_;
    return min_ + (max_ - min_) * double(step) / kSteps;
}

void DoubleSlider::placeHandle() {
    int step = 0;
    const double span = max_ - min_;
    if (span > 0.0 && std::isfinite(span) && std::isfinite(value_)) {
        const double fraction = std::clamp((value_ - min_) / span, 0.0, 1.0);
        step = int(std::lround(fraction * kSteps));
    } else if (value_ >= max_) {
        step = kSteps;
    }
    settingFromCode_ = true;
    QSlider::setValue(step);
    settingFromCode_ = false;
}
