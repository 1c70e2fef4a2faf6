#include "app/OutputPatchSettings.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QVBoxLayout>

#include "audio/AudioEngine.h"
#include "window/WheelNeedsFocus.h"

namespace {
enum Column { kNameColumn, kChannelColumn };
constexpr int kVisibleRows = 8;
}  // namespace

OutputPatchSettings::OutputPatchSettings(QWidget* parent, ChannelNames channelNames)
    : QGroupBox(tr("Outputs"), parent),
      channelNames_(channelNames ? std::move(channelNames)
                                 : [] { return AudioEngine::shared().outputChannelNames(); }),
      deviceChannels_(new QLabel(this)),
      table_(new QTableWidget(this)) {
    auto* layout = new QVBoxLayout(this);
    deviceChannels_->setWordWrap(true);
    layout->addWidget(deviceChannels_);
    table_->setColumnCount(2);
    table_->setHorizontalHeaderLabels({tr("Name"), tr("Device channel")});
    table_->horizontalHeader()->setSectionResizeMode(kNameColumn, QHeaderView::Stretch);
    table_->horizontalHeader()->setSectionResizeMode(kChannelColumn, QHeaderView::Stretch);
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(QComboBox().sizeHint().height());
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setAccessibleName(tr("Outputs"));
    layout->addWidget(table_);
    channels_ = channelNames_();
    fill();
}

int OutputPatchSettings::outputCount() const {
    return table_->rowCount();
}

QLineEdit* OutputPatchSettings::nameField(int output) const {
    return qobject_cast<QLineEdit*>(table_->cellWidget(output - 1, kNameColumn));
}

QComboBox* OutputPatchSettings::channelBox(int output) const {
    return qobject_cast<QComboBox*>(table_->cellWidget(output - 1, kChannelColumn));
}

void OutputPatchSettings::showEvent(QShowEvent* event) {
    followDevice();
    QGroupBox::showEvent(event);
}

void OutputPatchSettings::hideEvent(QHideEvent* event) {
    storeTyped();
    QGroupBox::hideEvent(event);
}

void OutputPatchSettings::followDevice() {
    std::vector<std::string> now = channelNames_();
    if (now == channels_) return;
    // A name half typed when the device changed is kept, not dropped with its field.
    storeTyped();
    channels_ = std::move(now);
    fill();
}

void OutputPatchSettings::storeTyped() {
    for (int output = 1; output <= outputCount(); ++output)
        if (nameField(output)->isModified()) return store();
}

void OutputPatchSettings::fill() {
    const int channels = int(channels_.size());
    QStringList names;
    for (int ch = 0; ch < channels; ++ch)
        names << tr("%1 %2").arg(ch + 1).arg(QString::fromStdString(channels_[size_t(ch)]));
    deviceChannels_->setText(channels == 1 ? tr("The output has one channel: %1.").arg(names[0])
                                           : tr("The output has %1 channels: %2.")
                                                 .arg(channels)
                                                 .arg(names.join(QStringLiteral(", "))));

    const OutputPatch patch = OutputPatch::saved();
    const int outputs = std::clamp(channels, 2, OutputPatch::kMaxOutputs);
    table_->setRowCount(outputs);
    for (int output = 1; output <= outputs; ++output) {
        auto* name = new QLineEdit(patch.givenName(output));
        name->setPlaceholderText(QString::number(output));
        name->setAccessibleName(tr("Name of output %1").arg(output));
        name->setFrame(false);
        auto* channel = new QComboBox;
        channel->setAccessibleName(tr("Device channel of output %1").arg(output));
        for (int ch = 0; ch < channels; ++ch) channel->addItem(names[ch], ch);
        const int patched = patch.channel(output);
        // A channel this device lacks stays shown: the operator sees where the output was
        // meant to go, and the mixer puts what is routed there on the first two channels.
        if (patched >= channels)
            channel->addItem(tr("%1 (not on this output)").arg(patched + 1), patched);
        channel->setCurrentIndex(channel->findData(patched));
        table_->setCellWidget(output - 1, kNameColumn, name);
        table_->setCellWidget(output - 1, kChannelColumn, channel);
        connect(name, &QLineEdit::editingFinished, this, [this, name] {
            if (name->isModified()) store();
        });
        connect(channel, &QComboBox::activated, this, [this] { store(); });
    }
    table_->setFixedHeight(table_->horizontalHeader()->sizeHint().height() +
                           std::min(outputs, kVisibleRows) * table_->rowHeight(0) +
                           2 * table_->frameWidth());
    takeWheelOnlyWithFocus(table_);
}

void OutputPatchSettings::store() {
    OutputPatch patch = OutputPatch::saved();
    for (int output = 1; output <= outputCount(); ++output) {
        QLineEdit* name = nameField(output);
        name->setModified(false);
        const int channel = channelBox(output)->currentData().toInt();
        // An output on the channel of its own number is left unpatched, so that a machine
        // whose operator changed nothing keeps no patch.
        patch.set(output, name->text(), channel == output - 1 ? -1 : channel);
    }
    if (patch == OutputPatch::saved()) return;
    patch.save();
    emit patchChanged(patch);
}
