#include "widgets/OutputMeters.h"

#include <QGridLayout>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>
#include <cmath>

#include "audio/AudioEngine.h"
#include "widgets/LevelMeter.h"

namespace {
constexpr int kLabelWidth = 48;
constexpr int kWidth = 130;
}  // namespace

OutputMeters::OutputMeters(AudioEngine& engine, QWidget* parent)
    : QWidget(parent),
      engine_(engine),
      patch_(OutputPatch::saved()),
      rows_(new QWidget),
      labelWidth_(kLabelWidth) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The meters are to be looked at, never tabbed to during a show.
    scroll->setFocusPolicy(Qt::NoFocus);
    grid_ = new QGridLayout(rows_);
    grid_->setContentsMargins(0, 0, 0, 0);
    grid_->setHorizontalSpacing(6);
    grid_->setVerticalSpacing(3);
    scroll->setWidget(rows_);
    outer->addWidget(scroll);
    setFixedWidth(kWidth);
    setAccessibleName(tr("Output levels"));
    followDevice();
}

LevelMeter* OutputMeters::meter(int channel) const {
    return channel >= 0 && channel < count() ? meters_[size_t(channel)] : nullptr;
}

QString OutputMeters::label(int channel) const {
    return channel >= 0 && channel < count() ? labels_[size_t(channel)]->accessibleName()
                                             : QString();
}

void OutputMeters::displayPass(bool playing) {
    if (!playing) {
        if (live_) showSilence();
        live_ = false;
        return;
    }
    if (!live_) {
        live_ = true;
        followDevice();
    }
    engine_.readMeters(peaks_, rms_);
    // Another device of as many channels (a sink in place of the silent clock) renames them.
    followDevice();
    for (size_t ch = 0; ch < meters_.size(); ++ch)
        meters_[ch]->setLevels(ch < peaks_.size() ? peaks_[ch] : 0.0f,
                               ch < rms_.size() ? rms_[ch] : 0.0f);
}

void OutputMeters::setPatch(const OutputPatch& patch) {
    patch_ = patch;
    followDevice();
    showLabels();
}

void OutputMeters::followDevice() {
    std::vector<std::string> names = engine_.outputChannelNames();
    if (names == channelNames_ && !meters_.empty()) return;
    channelNames_ = std::move(names);
    for (QLabel* l : labels_) delete l;
    for (LevelMeter* m : meters_) delete m;
    labels_.clear();
    meters_.clear();
    for (size_t ch = 0; ch < channelNames_.size(); ++ch) {
        auto* label = new QLabel(rows_);
        auto* meter = new LevelMeter(rows_);
        grid_->addWidget(label, int(ch), 0);
        grid_->addWidget(meter, int(ch), 1);
        labels_.push_back(label);
        meters_.push_back(meter);
    }
    // What is below the last meter takes the height left over, so the meters stay together.
    for (int row = 0; row < grid_->rowCount(); ++row) grid_->setRowStretch(row, 0);
    grid_->setRowStretch(int(channelNames_.size()), 1);
    showLabels();
    emit channelsChanged();
}

void OutputMeters::showLabels() {
    // The show's outputs are numbered up to the device's count (two at least), as the
    // settings list them.
    const int outputs = std::max(2, count());
    for (int ch = 0; ch < count(); ++ch) {
        QStringList names;
        for (int output = 1; output <= outputs; ++output)
            if (patch_.channel(output) == ch) names << patch_.name(output);
        const QString device = QString::fromStdString(channelNames_[size_t(ch)]);
        // A channel no output is patched to still shows what the device plays there.
        const QString text = names.isEmpty() ? device : names.join(QStringLiteral(", "));
        QLabel* label = labels_[size_t(ch)];
        label->setAccessibleName(text);
        label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, labelWidth_));
        label->setFixedWidth(labelWidth_);
        label->setToolTip(tr("%1\nDevice channel %2: %3").arg(text).arg(ch + 1).arg(device));
        meters_[size_t(ch)]->setAccessibleName(tr("Level of %1").arg(text));
        meters_[size_t(ch)]->setToolTip(label->toolTip());
    }
}

void OutputMeters::setTextScale(double scale) {
    labelWidth_ = int(std::lround(kLabelWidth * scale));
    setFixedWidth(kWidth + labelWidth_ - kLabelWidth);
    showLabels();
}

void OutputMeters::showSilence() {
    for (LevelMeter* m : meters_) m->setLevels(0.0f, 0.0f);
}
