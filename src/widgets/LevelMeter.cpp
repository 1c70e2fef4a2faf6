#include "widgets/LevelMeter.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

namespace {
constexpr float kAmberDb = -12.0f;
constexpr float kRedDb = -3.0f;
// Changes smaller than this are not repainted: a meter is read by eye, and 64 of them
// repainting for noise would cost the window for nothing.
constexpr float kVisibleStepDb = 0.25f;
}  // namespace

LevelMeter::LevelMeter(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

float LevelMeter::toDb(float linear) {
    if (!(linear > 0.0f)) return kFloorDb;  // NaN too
    return std::clamp(20.0f * std::log10(linear), kFloorDb, 0.0f);
}

void LevelMeter::setLevels(float peak, float rms) {
    const float peakDb = toDb(peak);
    const float rmsDb = toDb(rms);
    const bool visible = std::abs(peakDb - peakDb_) >= kVisibleStepDb ||
                         std::abs(rmsDb - rmsDb_) >= kVisibleStepDb ||
                         ((peakDb == kFloorDb) != (peakDb_ == kFloorDb)) ||
                         ((rmsDb == kFloorDb) != (rmsDb_ == kFloorDb));
    if (!visible) return;
    peakDb_ = peakDb;
    rmsDb_ = rmsDb;
    update();
}

int LevelMeter::xFor(float db) const {
    return int(std::lround((db - kFloorDb) / -kFloorDb * float(width())));
}

void LevelMeter::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect all = rect();
    p.fillRect(all, QColor(0x2a, 0x2a, 0x2a));
    const int amber = xFor(kAmberDb);
    const int red = xFor(kRedDb);
    const int filled = rmsDb_ > kFloorDb ? xFor(rmsDb_) : 0;
    auto band = [&](int from, int to, QColor colour) {
        if (to > from) p.fillRect(QRect(from, 0, to - from, all.height()), colour);
    };
    band(0, std::min(filled, amber), QColor(0x3c, 0xb0, 0x4a));
    band(amber, std::min(filled, red), QColor(0xe8, 0xb0, 0x2c));
    band(red, filled, QColor(0xe0, 0x3a, 0x2e));
    if (peakDb_ > kFloorDb) {
        const int x = std::clamp(xFor(peakDb_), 2, all.width()) - 2;
        const QColor mark = peakDb_ >= kRedDb     ? QColor(0xff, 0x50, 0x40)
                            : peakDb_ >= kAmberDb ? QColor(0xff, 0xd0, 0x50)
                                                  : QColor(0xe8, 0xe8, 0xe8);
        p.fillRect(QRect(x, 0, 2, all.height()), mark);
    }
    // Ticks every 12 dB, so that "about -24" can be read without numbers.
    p.setPen(QColor(0x55, 0x55, 0x55));
    for (float db = kFloorDb + 12.0f; db < 0.0f; db += 12.0f) {
        const int x = xFor(db);
        if (x >= filled) p.drawLine(x, 0, x, all.height() - 1);
    }
}
