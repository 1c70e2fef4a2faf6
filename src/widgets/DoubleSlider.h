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
    // As setDoubleValue, for a value that moves on many times a second (a playing position):
    // the handle, with its repaint and its notice to assistive technology, follows only when it
    // lands on another pixel. The value handed out is the exact one all the same.
    void followValue(double value);
    void setFloatValue(float value) { setDoubleValue(double(value)); }
    void setIntValue(int value) { setDoubleValue(double(value)); }
    double doubleValue() const { return value_; }
    float floatValue() const { return float(value_); }
    // As the user moving the handle there: the value, held to the range, is taken and reported.
    void moveToValue(double value);

signals:
    // The user moved the slider (not sent for values set by the program).
    void doubleValueChanged(double value);

protected:
    // What the operator does with the slider starts from the exact value, not from a handle
    // that followValue left a fraction of a pixel behind.
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void init();
    void placeHandle();
    int stepOf(double value) const;
    double valueAtStep(int step) const;
    // Where the style puts the handle for a step, in pixels along the groove, by the measure
    // the last paint took; -1 before the first paint.
    int handlePixel(int step) const;

    double min_ = 0.0;
    double max_ = 1.0;
    double value_ = 0.0;
    bool settingFromCode_ = false;
    int handleSpan_ = -1;
    bool upsideDown_ = false;
};
