#pragma once

#include <QObject>
#include <QPointer>

class QAction;
class QKeyEvent;
class QWidget;

// Space and Escape are the show keys (Go, Stop All) in every window of the program, not only in
// the main one: the operator may be in the cue editor, the settings or an import when the next
// cue is due. The main window's own menu shortcuts serve it; in any other window (dialogs
// included, modal ones too) this filter triggers the same menu actions and swallows the key,
// so a focused button or toggle there is not pressed by it. An open menu keeps its keys, and
// Escape there closes it and stops the show.
//
// A focused text entry keeps Space, so titles with spaces can be typed. Nothing keeps Escape:
// a dialog closes with Ctrl+W, its close box or its buttons instead.
class ShowKeyGuard : public QObject {
    Q_OBJECT
public:
    ShowKeyGuard(QWidget* mainWindow, QAction* go, QAction* stopAll);
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The widget that takes this key press in its window: its focus widget, or the window.
    static bool isKeyReceiver(QObject* watched);
    QAction* actionFor(const QKeyEvent* key) const;

    QPointer<QWidget> mainWindow_;
    QPointer<QAction> go_;
    QPointer<QAction> stopAll_;
};
