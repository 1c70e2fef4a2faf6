#pragma once

#include <QComboBox>
#include <QWidget>
#include <vector>

#include "audio/OutputStream.h"

// Where the show plays: the output and its latency, kept in the settings and applied at once,
// also mid-show. The outputs are probed off the GUI thread (the sound server may be slow to
// answer); until then the list holds the saved choice.
class OutputSettings : public QWidget {
    Q_OBJECT
public:
    explicit OutputSettings(QWidget* parent = nullptr);

    // At start-up, before any cue is loaded: the saved output for the shared engine, and its
    // problems reported in the window.
    static void applySaved();
    static OutputChoice savedChoice();
    // What the output says, told in the window: a message, and a standing warning while no
    // sound is heard. Any thread.
    static void showNotice(const OutputNotice& notice);

    // Latencies offered, in milliseconds. A Go from silence sounds within a few milliseconds
    // whatever the latency (bench/go_latency.py); a Go while other cues play waits for the
    // stream's next request and behind what is queued: up to a latency and a quarter.
    struct Latency {
        int ms;
        int goWhilePlayingMs;
    };
    static const std::vector<Latency>& latencies();

    QComboBox* outputBox() const { return outputs_; }
    QComboBox* latencyBox() const { return latency_; }
    // Fills the output list (the probe's result); public for tests.
    void showOutputs(const std::vector<OutputDevice>& devices);

signals:
    void outputsListed();

private:
    void apply();

    QComboBox* outputs_;
    QComboBox* latency_;
    bool filling_ = false;
};
