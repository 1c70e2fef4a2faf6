#include "window/CueNumberEditor.h"

#include <QKeyEvent>

#include "model/CueNumbers.h"
#include "window/ShowKeyGuard.h"

CueNumberEditor::CueNumberEditor(QWidget* parent) : QLineEdit(parent) {
    setObjectName(QStringLiteral("cueNumberEditor"));
    setProperty(ShowKeyGuard::kKeepsEscape, true);
    setMaxLength(int(cuenumbers::kMaxLength) + 8);  // room for spaces that are trimmed
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setAccessibleName(QStringLiteral("Cue number"));
}

void CueNumberEditor::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            finish(true);
            return;
        case Qt::Key_Escape:
            finish(false);
            return;
        default:
            QLineEdit::keyPressEvent(event);
    }
}

void CueNumberEditor::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    finish(false);
}

void CueNumberEditor::finish(bool commit) {
    if (std::exchange(done_, true)) return;
    const QString typed = text();
    // The keyboard goes back to the table first, where the show keys are; the editor is gone
    // before the commit runs, since the change may rebuild this row's cell.
    emit closed();
    hide();
    deleteLater();
    if (commit) emit committed(typed);
}
