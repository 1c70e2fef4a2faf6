#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "remote/MidiInput.h"
#include "remote/OscServer.h"
#include "remote/ProblemTally.h"
#include "remote/RemoteCommand.h"
#include "remote/Subscribers.h"

struct RemoteSettings;

class ViewController;

// Runs the show from outside: owns the OSC server and the MIDI input, takes their commands on
// the GUI thread and answers and informs OSC clients.
class RemoteControl : public QObject {
    Q_OBJECT
public:
    // Commands run per turn of the event loop: a full queue is worked off between the window's
    // own events, never in one long stretch.
    static constexpr std::size_t kCommandsPerTurn = 32;
    static constexpr int kBusyPauseMs = 5;
    static constexpr int kMaxSubscribers = Subscribers::kMax;
    static constexpr int kPublishCheckMs = 100;
    // A learn nobody answers ends by itself: left armed, it would take the next key from the
    // desk during the show.
    static constexpr int kLearnTimeoutMs = 10000;
    // How often the chosen MIDI device is looked for, once gone.
    static constexpr int kDeviceWatchMs = 1000;
    // The key of the main window's standing warnings.
    static inline const QString kLearnWarning = QStringLiteral("remote/midiLearn");
    static inline const QString kOpenNetworkWarning = QStringLiteral("remote/oscOpen");

    explicit RemoteControl(ViewController& controller, QObject* parent = nullptr);
    ~RemoteControl() override;
    // The one the program runs, for the settings window.
    static RemoteControl* current();

    // For one run: OSC on 127.0.0.1 at `port`, whatever the settings say.
    void setOscPortForThisRun(int port) { portForThisRun_ = port; }
    // Takes up the stored settings: starts, restarts or stops each transport whose own settings
    // changed; the others, and whoever is connected to them, are left alone.
    void applySettings();

    QString oscStatus() const { return oscStatus_; }
    QString midiStatus() const { return midiStatus_; }
    QStringList midiDevices() const { return midi_.devices(); }
    bool midiOpen() const { return midi_.isOpen(); }
    // The next key, button or program change from the desk becomes the trigger of `kind`. Ends
    // on that message, on cancelLearn() (Escape anywhere, the settings closing) or after
    // kLearnTimeoutMs; the main window shows a standing warning meanwhile.
    void learn(MidiMapping::Kind kind);
    void cancelLearn();
    int oscPort() const { return osc_.port(); }
    void setSubscriptionLifetime(Subscribers::Clock::duration lifetime) {
        subscribers_.setLifetime(lifetime);
    }

    // Any thread: queues a command for the GUI thread. False when the queue is full.
    bool enqueue(const RemoteCommand& command);

signals:
    void statusChanged();
    // A MIDI learn completed (already stored).
    void learned(MidiMapping::Kind kind, const MidiTrigger& trigger);
    // A learn ended, whichever way.
    void learnEnded();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void drain();
    void publishIfChanged();
    void tell(const QString& text);
    void runCommand(const RemoteCommand& command);
    void applyOsc(const RemoteSettings& settings);
    void applyMidi(const RemoteSettings& settings);
    void endLearn();
    void watchDevice();

    ViewController& controller_;
    RemoteQueue queue_;
    OscServer osc_;
    MidiInput midi_;
    ProblemTally problems_;
    QTimer problemsTimer_;
    std::optional<int> portForThisRun_;
    QString oscStatus_;
    QString midiStatus_;
    bool toldNoMidi_ = false;
    // What the running transports were started with, to tell a change that concerns them.
    std::optional<OscServer::Config> oscConfig_;
    std::optional<QString> midiDevice_;
    std::optional<MidiMapping::Kind> learning_;
    QTimer learnTimer_;
    QTimer deviceTimer_;

    Subscribers subscribers_;
    QTimer publishTimer_;
    std::optional<RemoteState> published_;
    std::chrono::steady_clock::time_point publishedAt_{};
};
