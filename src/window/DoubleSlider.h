#pragma once

#include <QSlider>

// A slider over a range of doubles. QSlider counts in ints, so the range is divided into a fixed
// number of steps; the value handed out is the exact double last set, or the step the user
// dragged to. A value outside the range shows at the nearer end but is kept as given.
class DoubleSlider : public QSlider {
    Q_OBJECT
public:
    static constexpr int kSteps = 10000;

    explicit DoubleSlider(QWidget* parent = nullptr);
    explicit DoubleSlider(Qt::Orientation orientation, QWidget* parent = nullptr);

    void setMinValue(double minimum);
    void setMaxValue(double maximum);
    double minValue() const { return min_; }
    double maxValue() const { return max_; }

    void setDoubleValue(double value);
    void setFloatValue(float value) { setDoubleValue(double(value)); }
    void setIntValue(int value) { setDoubleValue(double(value)); }
    double doubleValue() const { return value_; }
    float floatValue() const { return float(value_); }
    // As the user moving the handle there: the value, held to the range, is taken and reported.
    void moveToValue(double value);

signals:
    // The user moved the slider (not sent for values set by the program).
    void doubleValueChanged(double value);

private:
    void init();
    void placeHandle();
    double valueAtStep(int step) const;

    double min_ = 0.0;
    double max_ = 1.0;
    double value_ = 0.0;
    bool settingFromCode_ = false;
};
