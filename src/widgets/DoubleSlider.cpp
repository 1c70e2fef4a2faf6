#include "widgets/DoubleSlider.h"

#include <QStyle>
#include <QStyleOptionSlider>
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

void DoubleSlider::followValue(double value) {
    value_ = value;
    const int step = stepOf(value_);
    // A hidden slider repaints nothing, and one in the operator's hand is not followed.
    if (isVisible() && !isSliderDown() && handleSpan_ > 0 &&
        handlePixel(step) == handlePixel(QSlider::value()))
        return;
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

int DoubleSlider::stepOf(double value) const {
    const double span = max_ - min_;
    if (span > 0.0 && std::isfinite(span) && std::isfinite(value)) {
        const double fraction = std::clamp((value - min_) / span, 0.0, 1.0);
        return int(std::lround(fraction * kSteps));
    }
    return value >= max_ ? kSteps : 0;
}

void DoubleSlider::placeHandle() {
    settingFromCode_ = true;
    QSlider::setValue(stepOf(value_));
    settingFromCode_ = false;
}

int DoubleSlider::handlePixel(int step) const {
    if (handleSpan_ <= 0) return -1;
    return QStyle::sliderPositionFromValue(minimum(), maximum(), step, handleSpan_, upsideDown_);
}

bool DoubleSlider::event(QEvent* event) {
    // A click, key or wheel moves on from the exact value, not from the handle's last pixel;
    // at a new size the handle is drawn afresh from it too.
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::KeyPress:
        case QEvent::Wheel:
        case QEvent::Resize:
            placeHandle();
            break;
        default:
            break;
    }
    return QSlider::event(event);
}

void DoubleSlider::paintEvent(QPaintEvent* event) {
    // The handle's travel, measured as the style lays it out at both ends of the range, so the
    // pixel of any step follows from the style's own rounding.
    QStyleOptionSlider option;
    initStyleOption(&option);
    option.sliderPosition = option.minimum;
    const QRect atMinimum =
        style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    option.sliderPosition = option.maximum;
    const QRect atMaximum =
        style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    handleSpan_ = orientation() == Qt::Horizontal ? std::abs(atMaximum.left() - atMinimum.left())
                                                  : std::abs(atMaximum.top() - atMinimum.top());
    upsideDown_ = option.upsideDown;
    QSlider::paintEvent(event);
}
