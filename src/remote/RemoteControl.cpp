#include "remote/RemoteControl.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <QPointer>
#include <algorithm>
#include <iostream>

#include "platform/MessageLog.h"
#include "remote/RemoteSettings.h"
#include "window/ViewController.h"

namespace {

RemoteControl* running = nullptr;

// Any thread: the message area and the standard output.
void tellOperator(const QString& text) {
    std::cout << text.toStdString() << std::endl;
    MessageLog::instance().report(text);
}

// Subscribers hear of every change of the selection and of what plays; a position that only
// runs on is sent once a second.
bool differsBesidesPosition(const RemoteState& a, const RemoteState& b) {
    if (a.selected != b.selected || a.playing.size() != b.playing.size()) return true;
    for (std::size_t i = 0; i < a.playing.size(); ++i) {
        const auto& x = a.playing[i];
        const auto& y = b.playing[i];
        if (x.number != y.number || x.title != y.title || x.state != y.state) return true;
    }
    return false;
}

}  // namespace

RemoteControl::RemoteControl(ViewController& controller, QObject* parent)
    : QObject(parent),
      controller_(controller),
      osc_([this](const RemoteCommand& c) { return enqueue(c); }, &tellOperator),
      midi_([this](const RemoteCommand& c) { return enqueue(c); },
            [self = QPointer<RemoteControl>(this)](const QString& text) {
                // From the MIDI thread: counted with the GUI thread's other problems.
                QMetaObject::invokeMethod(
                    self,
                    [self, text] {
                        if (self) self->tell(text);
                    },
                    Qt::QueuedConnection);
            },
            [self = QPointer<RemoteControl>(this)](MidiMapping::Kind kind,
                                                   const MidiTrigger& trigger) {
                QMetaObject::invokeMethod(
                    self,
                    [self, kind, trigger] {
                        if (!self) return;
                        RemoteSettings settings = RemoteSettings::load();
                        MidiMapping mapping = settings.mapping();
                        mapping.setTrigger(kind, trigger);
                        for (MidiMapping::Kind k : MidiMapping::learnable())
                            settings.midiTriggers[k] = mapping.trigger(k);
                        settings.save();
                        self->endLearn();
                        emit self->learned(kind, trigger);
                    },
                    Qt::QueuedConnection);
            }),
      problems_(QString(), &tellOperator) {
    running = this;
    problemsTimer_.setSingleShot(true);
    connect(&problemsTimer_, &QTimer::timeout, this, [this] {
        const auto due = problems_.flush();
        if (due.count() >= 0) problemsTimer_.start(int(due.count()));
    });
    publishTimer_.setInterval(kPublishCheckMs);
    connect(&publishTimer_, &QTimer::timeout, this, &RemoteControl::publishIfChanged);
    learnTimer_.setSingleShot(true);
    learnTimer_.setInterval(kLearnTimeoutMs);
    connect(&learnTimer_, &QTimer::timeout, this, [this] {
        if (!learning_) return;
        tell(QStringLiteral("MIDI: Learn for %1 ended: nothing arrived in %2 seconds")
                 .arg(MidiMapping::nameOf(*learning_))
                 .arg(kLearnTimeoutMs / 1000));
        cancelLearn();
    });
    deviceTimer_.setInterval(kDeviceWatchMs);
    connect(&deviceTimer_, &QTimer::timeout, this, &RemoteControl::watchDevice);
}

RemoteControl::~RemoteControl() {
    // The threads go first: nothing may queue work for a controller being torn down.
    osc_.stop();
    midi_.close();
    endLearn();
    MessageLog::instance().clearWarning(kOpenNetworkWarning);
    if (running == this) running = nullptr;
}

RemoteControl* RemoteControl::current() {
    return running;
}

void RemoteControl::applySettings() {
    const RemoteSettings settings = RemoteSettings::load();
    applyOsc(settings);
    applyMidi(settings);
    emit statusChanged();
}

void RemoteControl::applyOsc(const RemoteSettings& settings) {
    const bool enabled = portForThisRun_ || settings.oscEnabled;
    std::optional<OscServer::Config> config;
    if (enabled) {
        config.emplace();
        config->port = portForThisRun_.value_or(settings.oscPort);
        config->network = !portForThisRun_ && settings.oscNetwork;
        for (const QString& sender : settings.oscAllowedSenders)
            config->allowedSenders.push_back(sender.toStdString());
    }
    // Anyone on the network could run the show: it stands in the main window until the
    // allowed senders are named, even while the port cannot be had, since it will be.
    if (config && config->network && config->allowedSenders.empty()) {
        MessageLog::instance().setWarning(
            kOpenNetworkWarning,
            QStringLiteral("OSC obeys anyone on the network: name the allowed senders in "
                           "Settings"));
    } else {
        MessageLog::instance().clearWarning(kOpenNetworkWarning);
    }
    // The same listener goes on, with its subscribers; a failed start is tried again.
    if (config == oscConfig_ && (!config || osc_.running())) {
        if (!config) oscStatus_ = QStringLiteral("OSC: off");
        return;
    }
    oscConfig_ = config;
    osc_.stop();
    if (!subscribers_.empty())
        tellOperator(QStringLiteral("OSC: %1 subscriptions ended with the restart; the clients "
                                    "have to subscribe again")
                         .arg(subscribers_.size()));
    subscribers_.clear();
    publishTimer_.stop();
    if (!config) {
        oscStatus_ = QStringLiteral("OSC: off");
        return;
    }
    const QString failure = osc_.start(*config);
    if (failure.isEmpty()) {
        oscStatus_ = QStringLiteral("OSC: listening on %1 port %2")
                         .arg(config->network ? QStringLiteral("the network")
                                              : QStringLiteral("this computer only"))
                         .arg(osc_.port());
        if (portForThisRun_) oscStatus_ += QStringLiteral(" (--osc-port, for this run)");
        if (!osc_.tcpFailure().isEmpty()) {
            oscStatus_ += QStringLiteral(", UDP only");
            tellOperator(osc_.tcpFailure());
        }
        std::cout << oscStatus_.toStdString() << std::endl;
        // The system reports twice what it grants.
        if (osc_.receiveBuffer() / 2 < OscServer::kReceiveBuffer)
            std::cout << "OSC: the receive buffer is " << osc_.receiveBuffer() / 2048
                      << " KB, not the " << OscServer::kReceiveBuffer / 1024
                      << " KB asked for (net.core.rmem_max): a flood may lose packets" << std::endl;
    } else {
        oscStatus_ = QStringLiteral("OSC: ") + failure;
        tellOperator(oscStatus_);
    }
}

void RemoteControl::applyMidi(const RemoteSettings& settings) {
    midi_.setMapping(settings.mapping());
    // The port is opened anew only for a change of its own: every connection other programs
    // made to it would go with it.
    if (midi_.isOpen() && midiDevice_ == settings.midiDevice) return;
    midiDevice_ = settings.midiDevice;
    deviceTimer_.stop();
    MidiInput::Backend backend = midi_.isOpen() ? midi_.backend() : MidiInput::availableBackend();
    if (backend == MidiInput::Backend::None) {
        midi_.close();
        midiStatus_ = QStringLiteral(
            "MIDI: this computer has no ALSA sequencer (/dev/snd/seq is "
            "missing) and no JACK server runs; Cuevox runs without MIDI");
        if (!toldNoMidi_) tellOperator(midiStatus_);
        toldNoMidi_ = true;
        return;
    }
    const QString failure = midi_.open(backend, settings.midiDevice);
    const QString system =
        backend == MidiInput::Backend::Alsa ? QStringLiteral("ALSA") : QStringLiteral("JACK");
    if (!midi_.isOpen()) {
        midiStatus_ = QStringLiteral("MIDI: cannot open the port: ") + failure;
        tellOperator(midiStatus_);
        return;
    }
    if (!failure.isEmpty()) {
        midiStatus_ = QStringLiteral("MIDI: port \"Cuevox\" open on %1; ").arg(system) + failure;
        tellOperator(midiStatus_);
    } else {
        midiStatus_ = QStringLiteral("MIDI: port \"Cuevox\" open on %1").arg(system);
    }
    if (!settings.midiDevice.isEmpty()) deviceTimer_.start();
}

void RemoteControl::watchDevice() {
    const MidiInput::DeviceChange change = midi_.watchDevice();
    if (change == MidiInput::DeviceChange::None) return;
    const bool back = change == MidiInput::DeviceChange::Back;
    midiStatus_ = back ? QStringLiteral("MIDI: the device \"%1\" is connected again")
                       : QStringLiteral(
                             "MIDI: the device \"%1\" is gone; Cuevox takes it again as "
                             "soon as it is back");
    midiStatus_ = midiStatus_.arg(midi_.deviceName());
    tellOperator(midiStatus_);
    emit statusChanged();
}

void RemoteControl::learn(MidiMapping::Kind kind) {
    midi_.learn(kind);
    if (!learning_) qApp->installEventFilter(this);
    learning_ = kind;
    learnTimer_.start();
    MessageLog::instance().setWarning(
        kLearnWarning, QStringLiteral("MIDI Learn for %1: the next key, button or program change "
                                      "from any desk becomes its trigger (Escape cancels)")
                           .arg(MidiMapping::nameOf(kind)));
}

void RemoteControl::cancelLearn() {
    midi_.cancelLearn();
    endLearn();
}

void RemoteControl::endLearn() {
    if (!learning_) return;
    learning_.reset();
    learnTimer_.stop();
    qApp->removeEventFilter(this);
    MessageLog::instance().clearWarning(kLearnWarning);
    emit learnEnded();
}

bool RemoteControl::eventFilter(QObject* watched, QEvent* event) {
    // Escape is Stop All everywhere, and it also takes back a learn; the key goes on to the show.
    if (learning_ &&
        (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape)
        cancelLearn();
    return QObject::eventFilter(watched, event);
}

bool RemoteControl::enqueue(const RemoteCommand& command) {
    switch (queue_.push(command)) {
        case RemoteQueue::Push::Full:
            return false;
        case RemoteQueue::Push::QueuedFirst:
            QMetaObject::invokeMethod(this, &RemoteControl::drain, Qt::QueuedConnection);
            break;
        case RemoteQueue::Push::Queued:
        case RemoteQueue::Push::Merged:
            break;
    }
    return true;
}

void RemoteControl::drain() {
    for (const RemoteCommand& command : queue_.take(kCommandsPerTurn)) runCommand(command);
    // The rest waits a moment, behind whatever the window has to do meanwhile: a flood of
    // commands takes a bounded share of the GUI thread, never all of it.
    if (queue_.size() > 0) QTimer::singleShot(kBusyPauseMs, this, &RemoteControl::drain);
    if (!subscribers_.empty()) publishIfChanged();
}

void RemoteControl::runCommand(const RemoteCommand& command) {
    using Kind = RemoteCommand::Kind;
    switch (command.kind) {
        case Kind::State:
            osc_.answer(remoteStateOf(controller_));
            return;
        case Kind::Subscribe:
            if (!subscribers_.subscribe(command.replyTo)) {
                tell(QStringLiteral("OSC: %1:%2 cannot subscribe: %3 clients already do")
                         .arg(QString::fromStdString(command.replyTo.host))
                         .arg(command.replyTo.port)
                         .arg(kMaxSubscribers));
                return;
            }
            osc_.send(remoteStateOf(controller_), {command.replyTo});
            if (!publishTimer_.isActive()) publishTimer_.start();
            return;
        case Kind::Unsubscribe:
            subscribers_.unsubscribe(command.replyTo);
            if (subscribers_.empty()) publishTimer_.stop();
            return;
        default:
            break;
    }
    const QString problem = applyRemoteCommand(controller_, command);
    osc_.stateChanged();
    if (!problem.isEmpty()) tell(command.source + QStringLiteral(": ") + problem);
}

void RemoteControl::publishIfChanged() {
    subscribers_.expire();
    if (subscribers_.empty()) {
        publishTimer_.stop();
        return;
    }
    RemoteState state = remoteStateOf(controller_);
    const auto now = std::chrono::steady_clock::now();
    const bool moved = !state.playing.empty() && now - publishedAt_ >= std::chrono::seconds(1);
    if (published_ && !differsBesidesPosition(*published_, state) && !moved) return;
    osc_.send(state, subscribers_.targets());
    published_ = std::move(state);
    publishedAt_ = now;
}

void RemoteControl::tell(const QString& text) {
    problems_.add(text.section(':', 0, 0) + QStringLiteral(" commands"), text);
    const auto due = problems_.flush();
    if (due.count() >= 0 && !problemsTimer_.isActive()) problemsTimer_.start(int(due.count()));
}
