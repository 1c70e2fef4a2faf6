#pragma once

#include <QObject>
#include <QPointer>
#include <memory>

class MainWindow;
class NotificationCenter;
class QWidget;
class SettingsViewController;

// Turns every menu command into a named notification. It knows nothing of cues or of the main
// window's controller: the name is the whole contract between the two.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // Starts with a center of its own that nobody observes, so a command sent before launching
    // has finished reaches nothing.
    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override;

    // Closing the main window ends the program; every change is already saved by then.
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    // From now on the commands go to the default center, where the controller listens.
    void applicationDidFinishLaunching();
    NotificationCenter& nc() const { return *nc_; }

    void closeWindow(QObject* sender = nullptr);
    void volumeUp(QObject* sender = nullptr);
    void volumeDown(QObject* sender = nullptr);
    void moveAudioUp(QObject* sender = nullptr);
    void moveAudioDown(QObject* sender = nullptr);
    void saveCX(QObject* sender = nullptr);
    void addTrack(QObject* sender = nullptr);
    void removeTrack(QObject* sender = nullptr);
    void duplicateTrack(QObject* sender = nullptr);
    void duplicateTrackWithoutOptions(QObject* sender = nullptr);
    void editAudio(QObject* sender = nullptr);
    // Shows: each asks for a folder, then opens it in place of the one in use.
    void newShow(QObject* sender = nullptr);
    void openShow(QObject* sender = nullptr);
    void saveShowAs(QObject* sender = nullptr);
    // The show keys: start the selected cue, and stop everything.
    void goCX(QObject* sender = nullptr);
    void stopAllCX(QObject* sender = nullptr);
    // A show as one archive, and the cues whose audio is missing.
    void exportShow(QObject* sender = nullptr);
    void importShow(QObject* sender = nullptr);
    void missingAudio(QObject* sender = nullptr);

    // Connects the items of the window's main menu to the actions above, and the settings and
    // quit items to what they open and end.
    void connectMenu(MainWindow& window);
    // Opens the settings view over `parent`, or raises the one already open.
    SettingsViewController* showSettings(QWidget* parent);

private:
    std::unique_ptr<NotificationCenter> ownCenter_;
    NotificationCenter* nc_;
    QPointer<SettingsViewController> settings_;
};
