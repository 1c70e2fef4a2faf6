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
