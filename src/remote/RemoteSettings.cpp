#include "remote/RemoteSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSpinBox>

#include "remote/RemoteControl.h"

namespace {

QString triggerKey(MidiMapping::Kind kind) {
    switch (kind) {
        case MidiMapping::Kind::Go:
            return QStringLiteral("remote/midi/go");
        case MidiMapping::Kind::StopAll:
            return QStringLiteral("remote/midi/stopAll");
        case MidiMapping::Kind::Next:
            return QStringLiteral("remote/midi/next");
        case MidiMapping::Kind::Previous:
            return QStringLiteral("remote/midi/previous");
        default:
            return {};
    }
}

// MIDI Show Control device IDs for single devices; 0x70 to 0x7E are groups, 0x7F all-call.
constexpr int kMaxMscDeviceId = 0x6F;

}  // namespace

RemoteSettings RemoteSettings::load() {
    QSettings stored;
    RemoteSettings s;
    s.oscEnabled = stored.value(QStringLiteral("remote/osc/enabled"), false).toBool();
    s.oscPort =
        std::clamp(stored.value(QStringLiteral("remote/osc/port"), s.oscPort).toInt(), 1, 65535);
    s.oscNetwork = stored.value(QStringLiteral("remote/osc/network"), false).toBool();
    s.oscAllowedSenders =
        parseSenders(stored.value(QStringLiteral("remote/osc/allowedSenders")).toString());
    s.midiDevice = stored.value(QStringLiteral("remote/midi/device")).toString();
    s.mscDeviceId = std::clamp(stored.value(QStringLiteral("remote/midi/mscDeviceId"), 0).toInt(),
                               0, kMaxMscDeviceId);
    for (MidiMapping::Kind kind : MidiMapping::learnable())
        s.midiTriggers[kind] = MidiTrigger::fromKey(stored.value(triggerKey(kind)).toString());
    return s;
}

void RemoteSettings::save() const {
    QSettings stored;
    stored.setValue(QStringLiteral("remote/osc/enabled"), oscEnabled);
    stored.setValue(QStringLiteral("remote/osc/port"), oscPort);
    stored.setValue(QStringLiteral("remote/osc/network"), oscNetwork);
    stored.setValue(QStringLiteral("remote/osc/allowedSenders"), oscAllowedSenders.join(' '));
    stored.setValue(QStringLiteral("remote/midi/device"), midiDevice);
    stored.setValue(QStringLiteral("remote/midi/mscDeviceId"), mscDeviceId);
    for (const auto& [kind, trigger] : midiTriggers)
        stored.setValue(triggerKey(kind), trigger.key());
}

MidiMapping RemoteSettings::mapping() const {
    MidiMapping mapping;
    mapping.setMscDeviceId(mscDeviceId);
    for (const auto& [kind, trigger] : midiTriggers) mapping.setTrigger(kind, trigger);
    return mapping;
}

QStringList RemoteSettings::parseSenders(const QString& text) {
    static const QRegularExpression separators(QStringLiteral("[\\s,;]+"));
    return text.split(separators, Qt::SkipEmptyParts);
}

RemoteSettingsWidget::RemoteSettingsWidget(QWidget* parent)
    : QGroupBox(tr("Remote control"), parent), settings_(RemoteSettings::load()) {
    auto* form = new QFormLayout(this);

    oscEnabled_ = new QCheckBox(tr("Receive OSC"), this);
    oscEnabled_->setObjectName(QStringLiteral("oscEnabled"));
    oscEnabled_->setChecked(settings_.oscEnabled);
    oscPort_ = new QSpinBox(this);
    oscPort_->setRange(1, 65535);
    oscPort_->setValue(settings_.oscPort);
    oscPort_->setAccessibleName(tr("OSC port"));
    auto* oscRow = new QHBoxLayout;
    oscRow->addWidget(oscEnabled_);
    oscRow->addWidget(new QLabel(tr("on port"), this));
    oscRow->addWidget(oscPort_);
    oscRow->addStretch();
    form->addRow(tr("OSC:"), oscRow);

    thisComputer_ = new QRadioButton(tr("This computer only"), this);
    network_ = new QRadioButton(tr("The network"), this);
    (settings_.oscNetwork ? network_ : thisComputer_)->setChecked(true);
    auto* listenRow = new QHBoxLayout;
    listenRow->addWidget(thisComputer_);
    listenRow->addWidget(network_);
    listenRow->addStretch();
    form->addRow(tr("Listen to:"), listenRow);

    allowed_ = new QLineEdit(settings_.oscAllowedSenders.join(' '), this);
    allowed_->setObjectName(QStringLiteral("oscAllowedSenders"));
    allowed_->setPlaceholderText(tr("Everyone; or addresses such as 192.168.1.20"));
    allowed_->setAccessibleName(tr("Allowed senders"));
    form->addRow(tr("Allowed senders:"), allowed_);
    networkWarning_ = new QLabel(
        tr("Anyone on the network can run the show: name the computers allowed to send."), this);
    networkWarning_->setObjectName(QStringLiteral("oscNetworkWarning"));
    networkWarning_->setWordWrap(true);
    QPalette alarm = networkWarning_->palette();
    alarm.setColor(QPalette::WindowText, QColor(0xc6, 0x28, 0x28));
    networkWarning_->setPalette(alarm);
    form->addRow(networkWarning_);

    midiDevice_ = new QComboBox(this);
    midiDevice_->addItem(tr("None (connect to the \"Cuevox\" port)"), QString());
    if (RemoteControl* remote = RemoteControl::current())
        for (const QString& device : remote->midiDevices()) midiDevice_->addItem(device, device);
    if (!settings_.midiDevice.isEmpty() && midiDevice_->findData(settings_.midiDevice) < 0)
        midiDevice_->addItem(settings_.midiDevice + tr(" (not connected)"), settings_.midiDevice);
    midiDevice_->setCurrentIndex(std::max(0, midiDevice_->findData(settings_.midiDevice)));
    midiDevice_->setAccessibleName(tr("MIDI device"));
    form->addRow(tr("MIDI device:"), midiDevice_);

    mscDevice_ = new QSpinBox(this);
    mscDevice_->setRange(0, kMaxMscDeviceId);
    mscDevice_->setValue(settings_.mscDeviceId);
    mscDevice_->setAccessibleName(tr("MIDI Show Control device ID"));
    form->addRow(tr("MSC device ID:"), mscDevice_);

    for (MidiMapping::Kind kind : MidiMapping::learnable()) {
        auto* row = new QHBoxLayout;
        auto* label = new QLabel(this);
        label->setTextFormat(Qt::PlainText);
        auto* learn = new QPushButton(tr("Learn"), this);
        learn->setAccessibleName(tr("Learn %1").arg(MidiMapping::nameOf(kind)));
        learn->setAutoDefault(false);
        auto* clear = new QPushButton(tr("Clear"), this);
        clear->setAccessibleName(tr("Clear %1").arg(MidiMapping::nameOf(kind)));
        clear->setAutoDefault(false);
        row->addWidget(label, 1);
        row->addWidget(learn);
        row->addWidget(clear);
        form->addRow(MidiMapping::nameOf(kind) + ':', row);
        triggerLabels_[kind] = label;
        learnButtons_[kind] = learn;
        connect(learn, &QPushButton::clicked, this, [this, kind] { learnClicked(kind); });
        connect(clear, &QPushButton::clicked, this, [this, kind] {
            RemoteSettings next = fromControls();
            next.midiTriggers[kind] = {};
            commit(next);
        });
    }

    status_ = new QLabel(this);
    // Device names and addresses come from outside: shown as they are, never as markup.
    status_->setTextFormat(Qt::PlainText);
    status_->setWordWrap(true);
    form->addRow(status_);

    connect(oscEnabled_, &QCheckBox::toggled, this, &RemoteSettingsWidget::store);
    connect(oscPort_, &QSpinBox::editingFinished, this, &RemoteSettingsWidget::store);
    connect(thisComputer_, &QRadioButton::toggled, this, &RemoteSettingsWidget::store);
    connect(allowed_, &QLineEdit::textChanged, this, &RemoteSettingsWidget::showNetworkWarning);
    connect(allowed_, &QLineEdit::editingFinished, this, &RemoteSettingsWidget::store);
    connect(midiDevice_, &QComboBox::activated, this, &RemoteSettingsWidget::store);
    connect(mscDevice_, &QSpinBox::editingFinished, this, &RemoteSettingsWidget::store);
    if (RemoteControl* remote = RemoteControl::current()) {
        connect(remote, &RemoteControl::statusChanged, this, &RemoteSettingsWidget::showStatus);
        connect(remote, &RemoteControl::learned, this,
                [this](MidiMapping::Kind kind, const MidiTrigger& trigger) {
                    settings_.midiTriggers = RemoteSettings::load().midiTriggers;
                    settings_.midiTriggers[kind] = trigger;
                    showTriggers();
                });
        connect(remote, &RemoteControl::learnEnded, this, &RemoteSettingsWidget::showTriggers);
    }
    showTriggers();
    showStatus();
    showNetworkWarning();
}

RemoteSettingsWidget::~RemoteSettingsWidget() {
    if (RemoteControl* remote = RemoteControl::current()) remote->cancelLearn();
}

void RemoteSettingsWidget::hideEvent(QHideEvent* event) {
    if (RemoteControl* remote = RemoteControl::current()) remote->cancelLearn();
    QGroupBox::hideEvent(event);
}

void RemoteSettingsWidget::showNetworkWarning() {
    const bool open =
        network_->isChecked() && RemoteSettings::parseSenders(allowed_->text()).isEmpty();
    networkWarning_->setVisible(open);
    allowed_->setPlaceholderText(open ? tr("Addresses such as 192.168.1.20")
                                      : tr("Everyone; or addresses such as 192.168.1.20"));
}

RemoteSettings RemoteSettingsWidget::fromControls() const {
    RemoteSettings next = settings_;
    next.oscEnabled = oscEnabled_->isChecked();
    next.oscPort = oscPort_->value();
    next.oscNetwork = network_->isChecked();
    next.oscAllowedSenders = RemoteSettings::parseSenders(allowed_->text());
    next.midiDevice = midiDevice_->currentData().toString();
    next.mscDeviceId = mscDevice_->value();
    return next;
}

void RemoteSettingsWidget::store() {
    commit(fromControls());
}

void RemoteSettingsWidget::commit(const RemoteSettings& next) {
    showNetworkWarning();
    // Only a real change restarts the listeners (editing ends also when focus merely moves).
    const bool changed =
        next.oscEnabled != settings_.oscEnabled || next.oscPort != settings_.oscPort ||
        next.oscNetwork != settings_.oscNetwork ||
        next.oscAllowedSenders != settings_.oscAllowedSenders ||
        next.midiDevice != settings_.midiDevice || next.mscDeviceId != settings_.mscDeviceId ||
        next.midiTriggers != settings_.midiTriggers;
    settings_ = next;
    showTriggers();
    if (!changed) return;
    settings_.save();
    if (RemoteControl* remote = RemoteControl::current()) remote->applySettings();
}

void RemoteSettingsWidget::showStatus() {
    RemoteControl* remote = RemoteControl::current();
    if (remote) status_->setText(remote->oscStatus() + '\n' + remote->midiStatus());
    // Without a port no key can arrive to be learned.
    for (const auto& [kind, button] : learnButtons_)
        button->setEnabled(remote && remote->midiOpen());
}

void RemoteSettingsWidget::showTriggers() {
    for (const auto& [kind, label] : triggerLabels_) {
        label->setText(settings_.midiTriggers[kind].text());
        learnButtons_[kind]->setText(tr("Learn"));
    }
}

void RemoteSettingsWidget::learnClicked(MidiMapping::Kind kind) {
    RemoteControl* remote = RemoteControl::current();
    if (!remote) return;
    showTriggers();
    learnButtons_[kind]->setText(tr("Press a key on the desk…"));
    remote->learn(kind);
}
