#include "window/MasterLevel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>
#include <cmath>

#include "window/WheelNeedsFocus.h"

MasterLevel::MasterLevel(QWidget* parent)
    : QWidget(parent), slider_(new QSlider(Qt::Horizontal, this)), value_(new QLabel(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(tr("Master"), this);
    layout->addWidget(label);
    layout->addWidget(slider_);
    layout->addWidget(value_);
    slider_->setObjectName(QStringLiteral("masterLevel"));
    slider_->setRange(kFloorDb, 0);
    slider_->setPageStep(6);
    slider_->setMinimumWidth(120);
    slider_->setFocusPolicy(Qt::StrongFocus);
    slider_->setAccessibleName(tr("Master level"));
    slider_->setToolTip(tr("The level of the whole show"));
    label->setBuddy(slider_);
    // Room for the widest text, so the buttons beside it never move while it is dragged.
    value_->setMinimumWidth(value_->fontMetrics().horizontalAdvance(text(-59.0)));
    value_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    showLevel(0.0);
    connect(slider_, &QSlider::valueChanged, this, [this](int dB) {
        value_->setText(text(dB));
        slider_->setAccessibleDescription(text(dB));
        emit levelChosen(dB);
    });
    takeWheelOnlyWithFocus(this);
}

void MasterLevel::showLevel(double dB) {
    const QSignalBlocker block(slider_);
    slider_->setValue(int(std::lround(dB)));
    value_->setText(text(dB));
    slider_->setAccessibleDescription(text(dB));
}

QString MasterLevel::text(double dB) {
    if (dB <= kFloorDb) return QStringLiteral("−∞ dB");
    return QStringLiteral("%1 dB").arg(dB, 0, 'f', std::lround(dB) == dB ? 0 : 1);
}
