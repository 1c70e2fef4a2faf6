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
    static constexpr int kMaxSubscribers = 16;
    static constexpr int kPublishCheckMs = 100;

    explicit RemoteControl(ViewController& controller, QObject* parent = nullptr);
    ~RemoteControl() override;
    // The one the program runs, for the settings window.
    static RemoteControl* current();

    // For one run: OSC on 127.0.0.1 at `port`, whatever the settings say.
    void setOscPortForThisRun(int port) { portForThisRun_ = port; }
    // Takes up the stored settings: starts, restarts or stops each transport.
    void applySettings();

    QString oscStatus() const { return oscStatus_; }
    QString midiStatus() const { return midiStatus_; }
    QStringList midiDevices() const { return midi_.devices(); }
    bool midiOpen() const { return midi_.isOpen(); }
    void learn(MidiMapping::Kind kind) { midi_.learn(kind); }
    void cancelLearn() { midi_.cancelLearn(); }
    int oscPort() const { return osc_.port(); }

    // Any thread: queues a command for the GUI thread. False when the queue is full.
    bool enqueue(const RemoteCommand& command);

signals:
    void statusChanged();
    // A MIDI learn completed (already stored).
    void learned(MidiMapping::Kind kind, const MidiTrigger& trigger);

private:
    void drain();
    void publishIfChanged();
    void tell(const QString& text);
    void runCommand(const RemoteCommand& command);

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

    std::vector<ReplyTarget> subscribers_;
    QTimer publishTimer_;
    std::optional<RemoteState> published_;
    std::chrono::steady_clock::time_point publishedAt_{};
};
