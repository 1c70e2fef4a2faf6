#include "app/StopSettings.h"

#include <QDoubleSpinBox>
#include <QFormLayout>

#include "window/ViewController.h"

StopSettings::StopSettings(QWidget* parent) : QWidget(parent), fadeAll_(new QDoubleSpinBox(this)) {
    auto* form = new QFormLayout(this);
    form->setContentsMargins(0, 0, 0, 0);
    fadeAll_->setObjectName(QStringLiteral("fadeAllSeconds"));
    fadeAll_->setRange(0.1, 60.0);
    fadeAll_->setDecimals(1);
    fadeAll_->setSingleStep(0.5);
    fadeAll_->setSuffix(tr(" s"));
    fadeAll_->setValue(ViewController::fadeAllSeconds());
    fadeAll_->setAccessibleName(tr("Fade All time"));
    fadeAll_->setToolTip(tr("How long Fade All takes (Shift+Escape)"));
    form->addRow(tr("Fade All time:"), fadeAll_);
    connect(fadeAll_, &QDoubleSpinBox::valueChanged, this,
            [](double seconds) { ViewController::setFadeAllSeconds(seconds); });
}
