#pragma once

#include <QGroupBox>
#include <QPointer>
#include <QStringList>
#include <map>

#include "remote/MidiMapping.h"
#include "remote/OscServer.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

// How Cuevox listens for remote control, kept with QSettings under "remote/".
struct RemoteSettings {
    bool oscEnabled = false;
    int oscPort = OscServer::kDefaultPort;
    bool oscNetwork = false;
    QStringList oscAllowedSenders;
    QString midiDevice;
    int mscDeviceId = 0;
    std::map<MidiMapping::Kind, MidiTrigger> midiTriggers;

    static RemoteSettings load();
    void save() const;
    MidiMapping mapping() const;
    // "10.0.0.5, 10.0.0.6" or one a line → the addresses.
    static QStringList parseSenders(const QString& text);
};

// The "Remote control" part of the settings window. Every change is stored at once and the
// remote control takes it up.
class RemoteSettingsWidget : public QGroupBox {
    Q_OBJECT
public:
    explicit RemoteSettingsWidget(QWidget* parent = nullptr);
    ~RemoteSettingsWidget() override;

protected:
    // A learn armed here ends with the settings: left armed, it would take the next key from
    // the desk during the show.
    void hideEvent(QHideEvent* event) override;

private:
    RemoteSettings fromControls() const;
    void store();
    void commit(const RemoteSettings& next);
    void showNetworkWarning();
    void showStatus();
    void showTriggers();
    void learnClicked(MidiMapping::Kind kind);

    RemoteSettings settings_;
    QCheckBox* oscEnabled_;
    QSpinBox* oscPort_;
    QRadioButton* thisComputer_;
    QRadioButton* network_;
    QLineEdit* allowed_;
    QComboBox* midiDevice_;
    QSpinBox* mscDevice_;
    std::map<MidiMapping::Kind, QLabel*> triggerLabels_;
    std::map<MidiMapping::Kind, QPushButton*> learnButtons_;
    QLabel* status_;
    QLabel* networkWarning_;
};
