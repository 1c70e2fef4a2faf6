// The editor's route fields: the outputs the cue's left and right go to, and their levels.
#include <QSignalBlocker>

#include "editor/AudioEditView.h"
#include "model/CXAudio.h"
#include "window/ViewController.h"

void AudioEditView::connectRouteFields() {
    // Steps on one field in a row are one change, as on the other steppers.
    for (QSpinBox* output : {leftOutput_.data(), rightOutput_.data()})
        connect(output, &QSpinBox::valueChanged, this,
                [this, output] { recordChange(output, [&] { routeChange(output); }); });
    for (QDoubleSpinBox* level : {leftLevel_.data(), rightLevel_.data()})
        connect(level, &QDoubleSpinBox::valueChanged, this,
                [this, level] { recordChange(level, [&] { routeChange(level); }); });
}

void AudioEditView::showRouteFields() {
    const CXAudio& cue = *audioFile;
    const QSignalBlocker quietLeft(leftOutput_), quietRight(rightOutput_),
        quietLeftLevel(leftLevel_), quietRightLevel(rightLevel_);
    leftOutput_->setValue(cue.outputs[0]);
    rightOutput_->setValue(cue.outputs[1]);
    leftLevel_->setValue(cue.outputLevels[0]);
    rightLevel_->setValue(cue.outputLevels[1]);
}

void AudioEditView::routeChange(QObject*) {
    CXAudio& cue = *audioFile;
    cue.outputs = {leftOutput_->value(), rightOutput_->value()};
    cue.outputLevels = {leftLevel_->value(), rightLevel_->value()};
    if (presenting_) {
        presenting_->routeChanged(cue);
    } else {
        // No window, no patch: each output is the device channel of its own number.
        cue.routeTo(cue.outputs[0] - 1, cue.outputs[1] - 1);
    }
}
