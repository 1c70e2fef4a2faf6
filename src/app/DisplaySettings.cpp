#include "app/DisplaySettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>

#include "window/Appearance.h"

DisplaySettings::DisplaySettings(QWidget* parent)
    : QWidget(parent),
      dark_(new QCheckBox(tr("Dark theme"), this)),
      textSize_(new QComboBox(this)),
      rowTime_(new QComboBox(this)) {
    Appearance& look = Appearance::instance();
    auto* form = new QFormLayout(this);
    form->setContentsMargins(0, 0, 0, 0);

    dark_->setObjectName(QStringLiteral("darkTheme"));
    dark_->setToolTip(tr("Light text on dark ground, for a dim booth"));
    dark_->setChecked(look.dark());
    form->addRow(QString(), dark_);

    textSize_->setObjectName(QStringLiteral("textSize"));
    textSize_->setAccessibleName(tr("Text size"));
    for (int percent : Appearance::kTextSizes) {
        textSize_->addItem(tr("%1 %").arg(percent), percent);
        if (percent == look.textPercent()) textSize_->setCurrentIndex(textSize_->count() - 1);
    }
    form->addRow(tr("Text size:"), textSize_);

    rowTime_->setObjectName(QStringLiteral("rowTime"));
    rowTime_->setAccessibleName(tr("A playing row shows"));
    rowTime_->addItem(tr("Time played"), false);
    rowTime_->addItem(tr("Time left"), true);
    rowTime_->setCurrentIndex(look.rowsShowTimeLeft() ? 1 : 0);
    form->addRow(tr("A playing row shows:"), rowTime_);

    connect(dark_, &QCheckBox::toggled, this, [](bool on) { Appearance::instance().setDark(on); });
    connect(textSize_, &QComboBox::currentIndexChanged, this,
            [this] { Appearance::instance().setTextPercent(textSize_->currentData().toInt()); });
    connect(rowTime_, &QComboBox::currentIndexChanged, this, [this] {
        Appearance::instance().setRowsShowTimeLeft(rowTime_->currentData().toBool());
    });
}
