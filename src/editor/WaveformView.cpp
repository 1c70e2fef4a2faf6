#include "editor/WaveformView.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace {
// How close to a marker, in pixels, a press must land to pick it up.
constexpr double kGrabDistance = 6.0;
const QColor kBackground(0x1e, 0x1f, 0x22);
const QColor kWave(0x6c, 0xb4, 0xee);
const QColor kOutsideCut(0, 0, 0, 150);
const QColor kStartMarker(0x2e, 0xa0, 0x43);
const QColor kEndMarker(0xe0, 0x4b, 0x3a);
const QColor kPlayHead(0xf5, 0xf5, 0xf5);
}  // namespace

WaveformView::WaveformView(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAccessibleName(QStringLiteral("Waveform"));
}

void WaveformView::setDuration(double seconds) {
    duration_ = std::isfinite(seconds) && seconds > 0.0 ? seconds : 0.0;
    update();
}

void WaveformView::setPeaks(std::optional<WaveformPeaks> peaks) {
    peaks_ = std::move(peaks);
    reading_ = false;
    update();
}

void WaveformView::setCut(double startTime, double endTime) {
    startTime_ = startTime;
    endTime_ = endTime;
    update();
}

void WaveformView::setPlayPosition(std::optional<double> seconds) {
    if (playPosition_ == seconds) return;
    playPosition_ = seconds;
    update();
}

double WaveformView::xOfTime(double seconds) const {
    if (duration_ <= 0.0 || !std::isfinite(seconds)) return 0.0;
    return std::clamp(seconds / duration_, 0.0, 1.0) * width();
}

double WaveformView::timeAtX(double x) const {
    if (width() <= 0) return 0.0;
    return std::clamp(x / width(), 0.0, 1.0) * duration_;
}

std::optional<WaveformView::Marker> WaveformView::markerNear(double x) const {
    if (duration_ <= 0.0) return std::nullopt;
    const double toStart = std::fabs(x - xOfTime(startTime_));
    const double toEnd = std::fabs(x - xOfTime(endTime_));
    if (std::min(toStart, toEnd) > kGrabDistance) return std::nullopt;
    if (toStart != toEnd) return toStart < toEnd ? Marker::Start : Marker::End;
    // Markers on top of each other: the side of the press says which way the user pulls.
    return x < xOfTime(startTime_) ? Marker::Start : Marker::End;
}

void WaveformView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    dragging_ = markerNear(event->position().x());
    if (!dragging_) return QWidget::mousePressEvent(event);
    event->accept();
}

void WaveformView::mouseMoveEvent(QMouseEvent* event) {
    const double x = event->position().x();
    if (dragging_) {
        emit markerDragged(*dragging_, timeAtX(x));
        return;
    }
    setCursor(markerNear(x) ? Qt::SizeHorCursor : Qt::ArrowCursor);
}

void WaveformView::mouseReleaseEvent(QMouseEvent* event) {
    if (dragging_ && event->button() == Qt::LeftButton) {
        emit markerDragged(*dragging_, timeAtX(event->position().x()));
        dragging_.reset();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

void WaveformView::drawPeaks(QPainter& painter, const QRectF& area) const {
    const WaveformPeaks& peaks = *peaks_;
    const int slices = peaks.slices();
    const int columns = int(area.width());
    if (slices == 0 || columns <= 0) return;
    const double middle = area.center().y();
    const double half = area.height() / 2.0;
    painter.setPen(QPen(kWave, 1.0));
    for (int column = 0; column < columns; ++column) {
        // Every slice under the column counts, so a short peak never falls between columns.
        const int first = int(double(column) / columns * slices);
        const int last = std::max(first + 1, int(double(column + 1) / columns * slices));
        float low = 0.0f, high = 0.0f;
        for (int s = first; s < std::min(last, slices); ++s) {
            low = std::min(low, peaks.low[std::size_t(s)]);
            high = std::max(high, peaks.high[std::size_t(s)]);
        }
        const double x = area.left() + column + 0.5;
        painter.drawLine(QPointF(x, middle - std::clamp(high, -1.0f, 1.0f) * half),
                         QPointF(x, middle - std::clamp(low, -1.0f, 1.0f) * half + 1.0));
    }
}

void WaveformView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRectF area = rect();
    painter.fillRect(area, kBackground);

    if (peaks_) {
        // The zero line, so silence reads as silence rather than as a missing outline.
        painter.setPen(QPen(kWave.darker(200), 1.0));
        painter.drawLine(QPointF(0, area.center().y()), QPointF(area.width(), area.center().y()));
        drawPeaks(painter, area);
    } else {
        painter.setPen(QColor(0xb0, 0xb0, 0xb0));
        painter.drawText(area, Qt::AlignCenter,
                         reading_ ? tr("Reading the file…") : tr("The file could not be read"));
    }
    if (duration_ <= 0.0) return;

    const double startX = xOfTime(startTime_);
    const double endX = xOfTime(endTime_);
    // What the cut leaves out is dimmed: before the start and after the end.
    painter.fillRect(QRectF(0, 0, startX, height()), kOutsideCut);
    painter.fillRect(QRectF(endX, 0, width() - endX, height()), kOutsideCut);

    auto drawMarker = [&](double x, const QColor& colour, bool handleRight) {
        painter.setPen(QPen(colour, 2.0));
        painter.drawLine(QPointF(x, 0), QPointF(x, height()));
        // A flag at the top shows which way the marker faces and gives the mouse a target.
        const double w = handleRight ? 8.0 : -8.0;
        QPolygonF flag({QPointF(x, 0), QPointF(x + w, 0), QPointF(x + w, 6), QPointF(x, 12)});
        painter.setBrush(colour);
        painter.setPen(Qt::NoPen);
        painter.drawPolygon(flag);
    };
    drawMarker(startX, kStartMarker, true);
    drawMarker(endX, kEndMarker, false);

    if (playPosition_) {
        const double x = xOfTime(*playPosition_);
        painter.setPen(QPen(kPlayHead, 1.5));
        painter.drawLine(QPointF(x, 0), QPointF(x, height()));
    }
}
