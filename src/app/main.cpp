#include <QApplication>
#include <QTimer>

#include "app/AppDelegate.h"
#include "app/OutputSettings.h"
#include "window/MainWindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Cuevox");
    // The saved output, before the list's cues open the engine.
    OutputSettings::applySaved();
    AppDelegate delegate;
    app.setQuitOnLastWindowClosed(delegate.applicationShouldTerminateAfterLastWindowClosed());
    MainWindow window;
    delegate.connectMenu(window);
    window.show();
    // Launching has finished once the event loop runs: from then on the menu reaches the window.
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return app.exec();
}
