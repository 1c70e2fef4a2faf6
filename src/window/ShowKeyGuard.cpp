#include "window/ShowKeyGuard.h"

#include <QAction>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QWidget>

namespace {

bool isShowKey(const QKeyEvent* key) {
    // Enter comes only from the keypad, where Go pedals and button boxes send it.
    const int k = key->key();
    return (k == Qt::Key_Space || k == Qt::Key_Enter || k == Qt::Key_Escape) &&
           (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

bool isCloseKey(const QKeyEvent* key) {
    return key->key() == Qt::Key_W && key->modifiers() == Qt::ControlModifier;
}

// Where Space types and Enter ends a line. A number field is not one: a space means nothing
// in it, and an operator who stepped a fade time must still reach Go.
bool isTextEntry(const QObject* widget) {
    return qobject_cast<const QLineEdit*>(widget) || qobject_cast<const QTextEdit*>(widget) ||
           qobject_cast<const QPlainTextEdit*>(widget);
}

}  // namespace

ShowKeyGuard::ShowKeyGuard(QWidget* mainWindow, QAction* go, QAction* stopAll)
    : QObject(mainWindow), mainWindow_(mainWindow), go_(go), stopAll_(stopAll) {
    // Kept by the shortcut map, which then swallows a held key's repeats without firing.
    go->setShortcuts({QKeySequence(Qt::Key_Space), QKeySequence(Qt::Key_Enter)});
    go->setAutoRepeat(false);
    stopAll->setAutoRepeat(false);
}

bool ShowKeyGuard::isKeyReceiver(QObject* watched) {
    // A key event climbs from the focus widget through its parents, and this filter sees every
    // step: only the first one counts.
    if (!watched->isWidgetType()) return false;
    auto* widget = static_cast<QWidget*>(watched);
    const QWidget* focus = widget->window()->focusWidget();
    return focus ? widget == focus : widget->isWindow();
}

void ShowKeyGuard::addShowAction(QAction* action) {
    action->setAutoRepeat(false);
    extra_.push_back(action);
}

QAction* ShowKeyGuard::extraActionFor(const QKeyEvent* key) const {
    const QKeySequence pressed(
        QKeyCombination(key->modifiers() & ~Qt::KeypadModifier, Qt::Key(key->key())));
    for (const QPointer<QAction>& action : extra_)
        if (action && action->isEnabled() && action->shortcuts().contains(pressed))
            return action.data();
    return nullptr;
}

QAction* ShowKeyGuard::actionFor(const QKeyEvent* key) const {
    if (QAction* extra = extraActionFor(key)) return extra;
    return key->key() == Qt::Key_Escape ? stopAll_.data() : go_.data();
}

bool ShowKeyGuard::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::ShortcutOverride && type != QEvent::KeyPress && type != QEvent::KeyRelease)
        return false;
    if (!isKeyReceiver(watched)) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    const bool showKey = isShowKey(key) || extraActionFor(key);
    // A cue number being typed takes Escape back out of its edit; once it is closed, Escape
    // is Stop All again. Show mode opens no such editor.
    if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier &&
        watched->property(kKeepsEscape).toBool()) {
        if (type == QEvent::ShortcutOverride) event->accept();
        return type == QEvent::ShortcutOverride;
    }

    if (showKey && key->key() != Qt::Key_Escape && isTextEntry(watched)) {
        // Claimed from every shortcut: the key reaches the field as a key press and types.
        if (type == QEvent::ShortcutOverride) event->accept();
        return type == QEvent::ShortcutOverride;
    }
    const QWidget* window = static_cast<QWidget*>(watched)->window();
    if (window->windowType() == Qt::Popup) {
        // An open menu keeps its keys and takes Escape from every shortcut to close itself;
        // Escape stops the show as well.
        if (type == QEvent::KeyPress && key->key() == Qt::Key_Escape && showKey &&
            !key->isAutoRepeat())
            if (QAction* action = actionFor(key)) action->trigger();
        return false;
    }
    if (window == mainWindow_) return false;  // the main window's menu shortcuts serve it

    if (showKey) {
        // Taken from the window's own shortcuts (a dialog's Escape, a progress dialog's
        // cancel), then acted on as a key press; the release is swallowed too, since a button
        // presses on it.
        if (type == QEvent::ShortcutOverride) {
            event->accept();
        } else if (type == QEvent::KeyPress && !key->isAutoRepeat()) {
            if (QAction* action = actionFor(key)) action->trigger();
        }
        return true;
    }
    if (isCloseKey(key)) {
        if (type == QEvent::ShortcutOverride) {
            event->accept();
        } else if (type == QEvent::KeyPress && !key->isAutoRepeat()) {
            // As the close box would: each window decides what closing it means.
            static_cast<QWidget*>(watched)->window()->close();
        }
        return true;
    }
    return false;
}
