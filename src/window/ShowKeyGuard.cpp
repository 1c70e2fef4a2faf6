#include "window/ShowKeyGuard.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QWidget>

#include "window/CueTableView.h"

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
    // The menus show these keys; this filter serves them, before any shortcut or widget.
    go->setShortcuts({QKeySequence(Qt::Key_Space), QKeySequence(Qt::Key_Enter)});
    go->setAutoRepeat(false);
    stopAll->setAutoRepeat(false);
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state != Qt::ApplicationActive) held_.clear();
            });
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

bool ShowKeyGuard::isGoReturn(const QObject* watched, const QKeyEvent* key) const {
    // On the list, where it has no other use: Go pedals send it. A focused row button or a
    // dialog's toggle keeps it.
    return key->key() == Qt::Key_Return && key->modifiers() == Qt::NoModifier &&
           (watched == mainWindow_ || qobject_cast<const CueTableView*>(watched));
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
    // Each press and release once, wherever it goes next.
    bool fresh = false;
    if (type == QEvent::KeyPress)
        fresh = held_.pressed(*key);
    else if (type == QEvent::KeyRelease)
        held_.released(*key);
    const bool showKey = isShowKey(key) || extraActionFor(key) || isGoReturn(watched, key);
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
        if (type == QEvent::KeyPress && key->key() == Qt::Key_Escape && showKey && fresh)
            if (QAction* action = actionFor(key)) action->trigger();
        return false;
    }

    if (showKey) {
        // Taken from every shortcut and every widget (a focused button presses on Space, a
        // dialog closes on Escape), then acted on as a key press, once per press; the release
        // is swallowed too, since a button presses on it.
        if (type == QEvent::ShortcutOverride) {
            event->accept();
        } else if (type == QEvent::KeyPress && fresh) {
            if (QAction* action = actionFor(key)) action->trigger();
        }
        return true;
    }
    // A held Return presses a focused button or toggle once.
    if (type == QEvent::KeyPress && key->key() == Qt::Key_Return && !fresh && !isTextEntry(watched))
        return true;
    if (window != mainWindow_ && isCloseKey(key)) {
        if (type == QEvent::ShortcutOverride) {
            event->accept();
        } else if (type == QEvent::KeyPress && fresh) {
            // As the close box would: each window decides what closing it means.
            static_cast<QWidget*>(watched)->window()->close();
        }
        return true;
    }
    return false;
}
