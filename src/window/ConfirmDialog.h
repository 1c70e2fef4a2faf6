#pragma once

#include <QString>
#include <functional>

class QWidget;

// A question asked before a command that cannot be undone (emptying the library, deleting the
// stored audio). Cancel is the default and the focused button: Return alone, or a Space meant
// for the show, never confirms.
struct Confirmation {
    QString title;
    QString text;
    // The confirming button, named after what it does ("Reset Library").
    QString confirm;
};

// Answers a question with true for the destructive choice. Tests give their own answer, as they
// replace the open panel; the program asks the operator with confirmDestructive.
using Confirmer = std::function<bool(QWidget* parent, const Confirmation& question)>;

// The modal dialog over `parent`; true only when the confirming button was pressed.
bool confirmDestructive(QWidget* parent, const Confirmation& question);

// What an import does with a file whose stored name is taken already.
enum class NameTaken {
    Cancel,    // import nothing more
    KeepBoth,  // store the new file under a numbered name beside the old one
    Replace,   // the new file takes the old one's place for every cue on it
};
using NameTakenQuestion = std::function<NameTaken(QWidget* parent, const QString& storedName)>;
// The modal question; Keep Both is the default, Cancel the escape.
NameTaken askNameTaken(QWidget* parent, const QString& storedName);
