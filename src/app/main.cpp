#include <QApplication>
#include <QTimer>

#include "app/AppDelegate.h"
#include "audio/AudioEngine.h"
#include "platform/MessageLog.h"
#include "window/MainWindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Cuevox");
    // A cue whose file can no longer be read ends; the operator is told why in the window.
    AudioEngine::shared().setProblemHandler([](const std::string& line) {
        MessageLog::instance().report(QString::fromStdString(line));
    });
    AppDelegate delegate;
    app.setQuitOnLastWindowClosed(delegate.applicationShouldTerminateAfterLastWindowClosed());
    MainWindow window;
    delegate.connectMenu(window);
    window.show();
    // Launching has finished once the event loop runs: from then on the menu reaches the window.
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return app.exec();
}
