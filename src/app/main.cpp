#include <QApplication>

#include "window/MainWindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Cuevox");
    // Closing the main window ends the program; every change is already saved by then.
    app.setQuitOnLastWindowClosed(true);
    MainWindow window;
    window.show();
    return app.exec();
}
