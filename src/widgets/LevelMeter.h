#pragma once

#include <QWidget>

// One output channel's level as a thin bar: the RMS filled, the peak as a mark, on a dBFS scale
// from kFloorDb to 0, turning amber near the top and red just below full scale. A glance from
// the desk must tell "sounding", "hot" and "silent" apart; exact values are for the ears.
class LevelMeter : public QWidget {
    Q_OBJECT
public:
    static constexpr float kFloorDb = -60.0f;

    explicit LevelMeter(QWidget* parent = nullptr);

    // Linear levels; anything at or under the floor shows as nothing.
    void setLevels(float peak, float rms);
    float peakDb() const { return peakDb_; }
    float rmsDb() const { return rmsDb_; }
    // Linear to dBFS, clamped to kFloorDb...0.
    static float toDb(float linear);

    QSize sizeHint() const override { return {120, 8}; }
    QSize minimumSizeHint() const override { return {40, 6}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int xFor(float db) const;

    float peakDb_ = kFloorDb;
    float rmsDb_ = kFloorDb;
};
