#pragma once

#include <QComboBox>
#include <QPushButton>
#include <QWidget>
#include <vector>

#include "audio/OutputStream.h"

// Where the show plays: the output and its latency, kept in the settings and applied, also
// mid-show, when the operator confirms the choice with Apply or Return. An arrow key or a wheel
// turn on a focused list only shows another choice: it must not move a running show to another
// device (or reopen the stream for another latency) by itself. The outputs are probed off the GUI
// thread (the sound server may be slow to answer); until then the list holds the saved choice.
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
    // Enabled while the lists show a choice that is not the one in use.
    QPushButton* applyButton() const { return apply_; }
    // Fills the output list (the probe's result); public for tests.
    void showOutputs(const std::vector<OutputDevice>& devices);

signals:
    void outputsListed();

protected:
    // Return confirms the choice shown (keypad Enter is the show's Go).
    void keyPressEvent(QKeyEvent* event) override;

private:
    void apply();
    void showPending();

    QComboBox* outputs_;
    QComboBox* latency_;
    QPushButton* apply_;
    bool filling_ = false;
};
