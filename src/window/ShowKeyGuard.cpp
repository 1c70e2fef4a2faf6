#include "window/ShowKeyGuard.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>

bool ShowKeyGuard::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool showKey = (key->key() == Qt::Key_Space || key->key() == Qt::Key_Escape) &&
                             (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        QWidget* focus = QApplication::focusWidget();
        const bool textEntry =
            qobject_cast<QLineEdit*>(focus) || qobject_cast<QAbstractSpinBox*>(focus) ||
            qobject_cast<QTextEdit*>(focus) || qobject_cast<QPlainTextEdit*>(focus);
        if (showKey && textEntry && watched == focus) {
            event->accept();  // the key goes to the field as a key press, not to a shortcut
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
