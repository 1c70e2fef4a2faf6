#include "app/OutputSettings.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPointer>
#include <QSettings>
#include <QtConcurrent>

#include "audio/AudioEngine.h"
#include "platform/MessageLog.h"
#include "window/WheelNeedsFocus.h"

namespace {
const char* const kDeviceKey = "output/device";
const char* const kLatencyKey = "output/latencyMs";
constexpr int kDefaultLatencyMs = 20;

const char* const kOutputWarning = "output";
}  // namespace

void OutputSettings::showNotice(const OutputNotice& notice) {
    MessageLog& log = MessageLog::instance();
    switch (notice.kind) {
        case OutputNotice::Kind::NoDevice:
            log.report(QStringLiteral("No sound output (%1): cues keep time but are not heard "
                                      "until an output device is found.")
                           .arg(QString::fromStdString(notice.detail)));
            log.setWarning(kOutputWarning, QStringLiteral("No sound output"));
            break;
        case OutputNotice::Kind::Lost:
            log.report(
                QStringLiteral("The sound output was lost: cues keep time but are not "
                               "heard until it is back."));
            log.setWarning(kOutputWarning, QStringLiteral("No sound output"));
            break;
        case OutputNotice::Kind::Back:
            log.report(QStringLiteral("The sound output is back."));
            log.clearWarning(kOutputWarning);
            break;
        case OutputNotice::Kind::Missing:
            log.report(QString::fromStdString(notice.text));
            break;
    }
}

const std::vector<OutputSettings::Latency>& OutputSettings::latencies() {
    static const std::vector<Latency> list{{5, 7}, {10, 13}, {20, 25}, {40, 50}};
    return list;
}

OutputChoice OutputSettings::savedChoice() {
    QSettings settings;
    OutputChoice choice;
    choice.device = settings.value(kDeviceKey).toString().toStdString();
    const int ms = settings.value(kLatencyKey, kDefaultLatencyMs).toInt();
    choice.latencyFrames = std::clamp(ms, 1, 500) * AudioEngine::kDefaultSampleRate / 1000;
    return choice;
}

void OutputSettings::applySaved() {
    AudioEngine::configureShared(savedChoice(), &OutputSettings::showNotice);
}

OutputSettings::OutputSettings(QWidget* parent)
    : QWidget(parent),
      outputs_(new QComboBox(this)),
      latency_(new QComboBox(this)),
      apply_(new QPushButton(tr("&Apply"), this)) {
    auto* form = new QFormLayout(this);
    form->setContentsMargins(0, 0, 0, 0);
    form->addRow(tr("Output:"), outputs_);
    form->addRow(tr("Latency:"), latency_);
    auto* applyRow = new QHBoxLayout;
    applyRow->addStretch();
    applyRow->addWidget(apply_);
    form->addRow(applyRow);
    takeWheelOnlyWithFocus(this);
    apply_->setEnabled(false);
    apply_->setToolTip(tr("Play the show through the output and latency chosen above"));
    outputs_->setAccessibleName(tr("Output"));
    latency_->setAccessibleName(tr("Latency"));

    QSettings settings;
    const int savedMs = settings.value(kLatencyKey, kDefaultLatencyMs).toInt();
    for (const Latency& l : latencies()) {
        latency_->addItem(tr("%1 ms: Go from silence in about 3 ms, while cues play within %2 ms")
                              .arg(l.ms)
                              .arg(l.goWhilePlayingMs),
                          l.ms);
        if (l.ms == savedMs) latency_->setCurrentIndex(latency_->count() - 1);
    }
    showOutputs({{"", "System default"}});

    connect(outputs_, &QComboBox::currentIndexChanged, this, [this] { showPending(); });
    connect(latency_, &QComboBox::currentIndexChanged, this, [this] { showPending(); });
    connect(apply_, &QPushButton::clicked, this, [this] { apply(); });

    QPointer<OutputSettings> self(this);
    auto probe = QtConcurrent::run([] { return OutputStream::devices(); });
    probe.then(this, [self](const std::vector<OutputDevice>& devices) {
        if (self) self->showOutputs(devices);
    });
}

void OutputSettings::showOutputs(const std::vector<OutputDevice>& devices) {
    filling_ = true;
    const QString saved = QSettings().value(kDeviceKey).toString();
    outputs_->clear();
    bool found = false;
    for (const OutputDevice& d : devices) {
        outputs_->addItem(QString::fromStdString(d.name), QString::fromStdString(d.id));
        if (QString::fromStdString(d.id) == saved) {
            outputs_->setCurrentIndex(outputs_->count() - 1);
            found = true;
        }
    }
    // A saved output that isn't there now stays listed, so the choice isn't lost unseen.
    if (!found && !saved.isEmpty()) {
        outputs_->addItem(tr("%1 (not available)").arg(saved), saved);
        outputs_->setCurrentIndex(outputs_->count() - 1);
    }
    filling_ = false;
    showPending();
    emit outputsListed();
}

void OutputSettings::showPending() {
    if (filling_) return;
    QSettings settings;
    const bool pending =
        outputs_->currentData().toString() != settings.value(kDeviceKey).toString() ||
        latency_->currentData().toInt() != settings.value(kLatencyKey, kDefaultLatencyMs).toInt();
    apply_->setEnabled(pending);
}

void OutputSettings::apply() {
    if (filling_ || !apply_->isEnabled()) return;
    QSettings settings;
    settings.setValue(kDeviceKey, outputs_->currentData().toString());
    settings.setValue(kLatencyKey, latency_->currentData().toInt());
    apply_->setEnabled(false);
    AudioEngine::configureShared(savedChoice(), &OutputSettings::showNotice);
}

void OutputSettings::keyPressEvent(QKeyEvent* event) {
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && event->key() == Qt::Key_Return && apply_->isEnabled()) {
        apply();
        return;
    }
    QWidget::keyPressEvent(event);
}
