#include <QApplication>
#include <QTimer>
#include <iostream>
#include <memory>

#include "app/AppDelegate.h"
#include "app/OutputSettings.h"
#include "app/ShowLock.h"
#include "app/SingleInstance.h"
#include "app/StartOptions.h"
#include "audio/AudioEngine.h"
#include "platform/MessageLog.h"
#include "remote/RemoteControl.h"
#include "storage/StoragePaths.h"
#include "window/Appearance.h"
#include "window/MainWindow.h"
#include "window/RecentShows.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Cuevox");
    QApplication::setApplicationName("Cuevox");

    const StartOptions start = StartOptions::read(app.arguments());
    if (!start.error.isEmpty()) {
        std::cerr << start.error.toStdString() << std::endl;
        return 2;
    }

    if (!start.showFolder.isEmpty()) storage::setShowFolder(start.showFolder.toStdString());
    // Before the list is read: a second copy on it would save over every change of the first.
    const QString listFile = QString::fromStdString(storage::listFilePath());
    auto claimed = std::make_unique<SingleInstance>(listFile);
    SingleInstance& instance = *claimed;
    switch (instance.claim()) {
        case SingleInstance::Claim::Held:
            break;
        case SingleInstance::Claim::Taken:
            std::cerr << "Cuevox is already running on " << listFile.toStdString()
                      << (instance.callRunning() ? ": its window was brought forward."
                                                 : ", and did not answer; close it first.")
                      << std::endl;
            return 3;
        case SingleInstance::Claim::Unguarded:
            MessageLog::instance().report(
                QStringLiteral("Another start on this list would not be stopped: %1")
                    .arg(instance.problem()));
            break;
    }

    // The saved output, before the list's cues open the engine.
    OutputSettings::applySaved();
    // A cue whose file can no longer be read ends; the operator is told why in the window.
    AudioEngine::shared().setProblemHandler([](const std::string& line) {
        MessageLog::instance().report(QString::fromStdString(line));
    });
    AppDelegate delegate;
    app.setQuitOnLastWindowClosed(delegate.applicationShouldTerminateAfterLastWindowClosed());
    // Theme and text size before the first widget: one made earlier keeps the old text colour.
    Appearance::instance().applySaved();
    MainWindow window;
    delegate.connectMenu(window);
    // Before the window shows: not one frame of an unlocked list.
    window.controller().setShowMode(start.showMode);
    ShowLock lock(std::move(claimed));
    lock.setWindow(&window);
    window.controller().setShowGuard(
        [&lock](const QString& list, QString* why) { return lock.move(list, why); });
    recentshows::add(QString::fromStdString(storage::showFolder()));
    // Declared after the window: it stops listening before the controller goes.
    RemoteControl remote(window.controller());
    if (start.oscPort) remote.setOscPortForThisRun(start.oscPort);
    remote.applySettings();
    window.show();
    // Launching has finished once the event loop runs: from then on the menu reaches the window.
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return app.exec();
}
