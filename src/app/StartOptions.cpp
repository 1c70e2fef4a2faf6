#include "app/StartOptions.h"

#include <QCommandLineParser>

#include "storage/StoragePaths.h"

StartOptions StartOptions::read(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption oscPort(
        "osc-port", "Receive OSC on 127.0.0.1 at PORT for this run, whatever Settings say.",
        "PORT");
    const QCommandLineOption showMode(
        "show-mode", "Start in show mode: the list is locked until Show Mode is turned off.");
    parser.addOption(oscPort);
    parser.addOption(showMode);
    parser.addPositionalArgument(
        "show",
        "The show to open: its folder, or the cuevox.json in it. A new or empty folder "
        "starts a new show; without one, the show in the Documents folder opens.",
        "[FOLDER]");
    parser.process(arguments);

    StartOptions options;
    options.showMode = parser.isSet(showMode);
    if (parser.isSet(oscPort)) {
        bool ok = false;
        options.oscPort = parser.value(oscPort).toInt(&ok);
        if (!ok || options.oscPort < 1 || options.oscPort > 65535)
            options.error = QStringLiteral("--osc-port needs a port number from 1 to 65535");
    }
    const QStringList shows = parser.positionalArguments();
    if (shows.size() > 1) {
        options.error = QStringLiteral("one show at a time: give one folder");
    } else if (shows.size() == 1) {
        std::string why;
        options.showFolder =
            QString::fromStdString(storage::showFolderFor(shows[0].toStdString(), &why));
        if (options.showFolder.isEmpty())
            options.error =
                QStringLiteral("Cannot open %1: %2.").arg(shows[0], QString::fromStdString(why));
    }
    return options;
}
