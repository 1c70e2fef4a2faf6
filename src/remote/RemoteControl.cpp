#include "remote/RemoteControl.h"

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
}

RemoteControl::~RemoteControl() {
    // The threads go first: nothing may queue work for a controller being torn down.
    osc_.stop();
    midi_.close();
    if (running == this) running = nullptr;
}

RemoteControl* RemoteControl::current() {
    return running;
}

void RemoteControl::applySettings() {
    const RemoteSettings settings = RemoteSettings::load();
    osc_.stop();
    subscribers_.clear();
    publishTimer_.stop();
    if (portForThisRun_ || settings.oscEnabled) {
        OscServer::Config config;
        config.port = portForThisRun_.value_or(settings.oscPort);
        config.network = !portForThisRun_ && settings.oscNetwork;
        for (const QString& sender : settings.oscAllowedSenders)
            config.allowedSenders.push_back(sender.toStdString());
        const QString failure = osc_.start(config);
        if (failure.isEmpty()) {
            oscStatus_ = QStringLiteral("OSC: listening on %1 port %2")
                             .arg(config.network ? QStringLiteral("the network")
                                                 : QStringLiteral("this computer only"))
                             .arg(osc_.port());
            if (portForThisRun_) oscStatus_ += QStringLiteral(" (--osc-port, for this run)");
            std::cout << oscStatus_.toStdString() << std::endl;
        } else {
            oscStatus_ = QStringLiteral("OSC: ") + failure;
            tellOperator(oscStatus_);
        }
    } else {
        oscStatus_ = QStringLiteral("OSC: off");
    }

    midi_.close();
    midi_.setMapping(settings.mapping());
    const MidiInput::Backend backend = MidiInput::availableBackend();
    if (backend == MidiInput::Backend::None) {
        midiStatus_ = QStringLiteral(
            "MIDI: this computer has no ALSA sequencer (/dev/snd/seq is "
            "missing) and no JACK server runs; Cuevox runs without MIDI");
        if (!toldNoMidi_) tellOperator(midiStatus_);
        toldNoMidi_ = true;
    } else {
        const QString failure = midi_.open(backend, settings.midiDevice);
        const QString system =
            backend == MidiInput::Backend::Alsa ? QStringLiteral("ALSA") : QStringLiteral("JACK");
        if (!midi_.isOpen()) {
            midiStatus_ = QStringLiteral("MIDI: cannot open the port: ") + failure;
            tellOperator(midiStatus_);
        } else if (!failure.isEmpty()) {
            midiStatus_ =
                QStringLiteral("MIDI: port \"Cuevox\" open on %1; ").arg(system) + failure;
            tellOperator(midiStatus_);
        } else {
            midiStatus_ = QStringLiteral("MIDI: port \"Cuevox\" open on %1").arg(system);
        }
    }
    emit statusChanged();
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
            osc_.send(remoteStateOf(controller_), {command.replyTo});
            return;
        case Kind::Subscribe:
            if (std::find(subscribers_.begin(), subscribers_.end(), command.replyTo) ==
                subscribers_.end()) {
                if (int(subscribers_.size()) >= kMaxSubscribers) {
                    tell(QStringLiteral("OSC: %1:%2 cannot subscribe: %3 clients already do")
                             .arg(QString::fromStdString(command.replyTo.host))
                             .arg(command.replyTo.port)
                             .arg(kMaxSubscribers));
                    return;
                }
                subscribers_.push_back(command.replyTo);
            }
            osc_.send(remoteStateOf(controller_), {command.replyTo});
            publishTimer_.start();
            return;
        case Kind::Unsubscribe:
            std::erase(subscribers_, command.replyTo);
            if (subscribers_.empty()) publishTimer_.stop();
            return;
        default:
            break;
    }
    const QString problem = applyRemoteCommand(controller_, command);
    if (!problem.isEmpty()) tell(command.source + QStringLiteral(": ") + problem);
}

void RemoteControl::publishIfChanged() {
    if (subscribers_.empty()) return;
    RemoteState state = remoteStateOf(controller_);
    const auto now = std::chrono::steady_clock::now();
    const bool moved = !state.playing.empty() && now - publishedAt_ >= std::chrono::seconds(1);
    if (published_ && !differsBesidesPosition(*published_, state) && !moved) return;
    osc_.send(state, subscribers_);
    published_ = std::move(state);
    publishedAt_ = now;
}

void RemoteControl::tell(const QString& text) {
    problems_.add(text.section(':', 0, 0) + QStringLiteral(" commands"), text);
    const auto due = problems_.flush();
    if (due.count() >= 0 && !problemsTimer_.isActive()) problemsTimer_.start(int(due.count()));
}
