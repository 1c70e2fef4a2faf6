#pragma once

#include <QWidget>
#include <string>
#include <vector>

#include "app/OutputPatch.h"

class AudioEngine;
class LevelMeter;
class QGridLayout;
class QLabel;

// A level meter for each channel of the output device, named after the outputs patched to it.
// It reads the engine on each of the position display's passes (25 a second, plenty for the
// eye), which run only while something plays:
// an idle show costs no wake-up for it, and its meters then show nothing. The channels are
// looked at again when a run starts (the output may have changed while all was quiet) and
// whenever the mixer meters another count of them.
class OutputMeters : public QWidget {
    Q_OBJECT
public:
    explicit OutputMeters(AudioEngine& engine, QWidget* parent = nullptr);

    // A pass of the position display, `playing` when a cue sounds.
    void displayPass(bool playing);
    void setPatch(const OutputPatch& patch);
    // The names grow with the text (1.0 at the normal size); the bars keep their width.
    void setTextScale(double scale);

    int count() const { return int(meters_.size()); }
    LevelMeter* meter(int channel) const;
    QString label(int channel) const;

signals:
    // The device's channels are not those shown before.
    void channelsChanged();

private:
    // Rebuilds the meters when the device's channels are not those shown.
    void followDevice();
    void showLabels();
    void showSilence();

    AudioEngine& engine_;
    OutputPatch patch_;
    std::vector<std::string> channelNames_;
    std::vector<LevelMeter*> meters_;
    std::vector<QLabel*> labels_;
    QWidget* rows_;
    QGridLayout* grid_;
    std::vector<float> peaks_, rms_;
    bool live_ = false;
    int labelWidth_;
};
