#pragma once

#include <QString>
#include <QStringList>

// What the command line asks of this run. --help, and an option the program does not know,
// print their text and end the program as any command does.
struct StartOptions {
    // OSC on 127.0.0.1 at this port, whatever Settings say; 0 when not asked.
    int oscPort = 0;
    // The list starts locked; without it every start is in edit mode, whatever the last run was.
    bool showMode = false;
    // The show to open: a folder (new, empty or holding one), found from a folder or its
    // cuevox.json given on the command line; empty for the default show, the Documents folder.
    QString showFolder;
    // Why the program cannot run as asked; empty when it can.
    QString error;

    static StartOptions read(const QStringList& arguments);
};
