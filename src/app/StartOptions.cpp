#include "app/StartOptions.h"

#include <QCommandLineParser>

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
    parser.process(arguments);

    StartOptions options;
    options.showMode = parser.isSet(showMode);
    if (parser.isSet(oscPort)) {
        bool ok = false;
        options.oscPort = parser.value(oscPort).toInt(&ok);
        if (!ok || options.oscPort < 1 || options.oscPort > 65535)
            options.error = QStringLiteral("--osc-port needs a port number from 1 to 65535");
    }
    return options;
}
