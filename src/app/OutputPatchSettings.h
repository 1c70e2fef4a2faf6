#pragma once

#include <QGroupBox>
#include <functional>
#include <string>
#include <vector>

#include "app/OutputPatch.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QTableWidget;

// The "Outputs" part of the settings window: the output device's channels, and for each of
// the show's outputs (as many as the device has channels, two at least) the name the operator
// gives it and the channel it is patched to. A change is saved as soon as it is made (a name
// when its field is left or confirmed) and told to the main window, which names its meters and
// routes the cues after it.
class OutputPatchSettings : public QGroupBox {
    Q_OBJECT
public:
    using ChannelNames = std::function<std::vector<std::string>()>;
    // `channelNames`: the device's channels now; the shared engine's unless given.
    explicit OutputPatchSettings(QWidget* parent = nullptr, ChannelNames channelNames = {});

    // Reads the device's channels again; the list follows them when they changed. Whatever is
    // being typed in a name is saved first.
    void followDevice();

    int outputCount() const;
    QLineEdit* nameField(int output) const;
    QComboBox* channelBox(int output) const;

signals:
    void patchChanged(const OutputPatch& patch);

protected:
    // The output may have changed since the settings were last open (or the device was only
    // opened since: the sound server's stream exists only while something plays).
    void showEvent(QShowEvent* event) override;
    // A name still being typed when the settings close is the operator's too.
    void hideEvent(QHideEvent* event) override;

private:
    void fill();
    void store();
    // Saves the names typed and not yet confirmed.
    void storeTyped();

    ChannelNames channelNames_;
    std::vector<std::string> channels_;
    QLabel* deviceChannels_;
    QTableWidget* table_;
};
