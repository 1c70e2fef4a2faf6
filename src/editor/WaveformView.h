#pragma once

#include <QWidget>
#include <optional>

#include "editor/WaveformPeaks.h"

// The cue's file drawn across the editor: the cut as two markers that can be dragged, the part
// outside the cut dimmed, and the play head while the cue plays.
class WaveformView : public QWidget {
    Q_OBJECT
public:
    enum class Marker { Start, End };

    explicit WaveformView(QWidget* parent = nullptr);

    // The time axis: the whole file, known from the player before any peak is.
    void setDuration(double seconds);
    double duration() const { return duration_; }
    // Until peaks arrive the view says it is reading; a file that cannot be read says so.
    void setPeaks(std::optional<WaveformPeaks> peaks);
    bool hasPeaks() const { return peaks_.has_value(); }
    bool isReading() const { return reading_; }
    void setCut(double startTime, double endTime);
    // No position hides the play head.
    void setPlayPosition(std::optional<double> seconds);
    std::optional<double> playPosition() const { return playPosition_; }

    // The x of a time and back, both clamped to the file.
    double xOfTime(double seconds) const;
    double timeAtX(double x) const;

    QSize sizeHint() const override { return {520, 110}; }
    QSize minimumSizeHint() const override { return {200, 70}; }

signals:
    // The user moved a marker to `seconds`; the editor decides what the cut becomes and calls
    // setCut with it.
    void markerDragged(WaveformView::Marker marker, double seconds);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    std::optional<Marker> markerNear(double x) const;
    void drawPeaks(class QPainter& painter, const QRectF& area) const;

    double duration_ = 0.0;
    std::optional<WaveformPeaks> peaks_;
    bool reading_ = true;
    double startTime_ = 0.0;
    double endTime_ = 0.0;
    std::optional<double> playPosition_;
    std::optional<Marker> dragging_;
};
