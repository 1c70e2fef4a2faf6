#pragma once

#include <QObject>
#include <QPointer>
#include <vector>

#include "window/HeldKeys.h"

class QAction;
class QKeyEvent;
class QWidget;

// Space and keypad Enter (Go) and Escape (Stop All) are the show keys in every window of the
// program, not only in the main one: the operator may be in the cue editor, the settings or an
// import when the next cue is due. Return is Go on the list too, where a Go pedal may send it.
// In every window (dialogs included, modal ones too) this filter triggers the menu actions
// itself and swallows the key, ahead of every shortcut and widget, so a focused button or
// toggle is not pressed by it. An open menu keeps its keys, and Escape there closes it and
// stops the show.
//
// A focused text entry keeps Space and Enter, so titles with spaces can be typed and a field
// committed; a number field keeps neither. Nothing keeps Escape but a cue number's inline editor
// (to cancel its edit): a dialog closes with Ctrl+W, its close box or its buttons instead. A held
// key fires once, told by HeldKeys rather than by Qt's repeat flag: its auto-repeat would start
// the next cues one by one, or cut short the fade-outs of the first Stop All.
class ShowKeyGuard : public QObject {
    Q_OBJECT
public:
    // The one field that keeps Escape (a cue number's inline editor) carries this property.
    static constexpr const char* kKeepsEscape = "keepsEscape";
    ShowKeyGuard(QWidget* mainWindow, QAction* go, QAction* stopAll);
    // Another show command on its own shortcut (Fade All, Pause All...): served in every window
    // by the same rules, Escape with a modifier kept by nothing as Escape is, any other key
    // kept by a text field.
    void addShowAction(QAction* action);
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The widget that takes this key press in its window: its focus widget, or the window.
    static bool isKeyReceiver(QObject* watched);
    bool isGoReturn(const QObject* watched, const QKeyEvent* key) const;
    QAction* actionFor(const QKeyEvent* key) const;
    QAction* extraActionFor(const QKeyEvent* key) const;

    QPointer<QWidget> mainWindow_;
    QPointer<QAction> go_;
    QPointer<QAction> stopAll_;
    std::vector<QPointer<QAction>> extra_;
    HeldKeys held_;
};
