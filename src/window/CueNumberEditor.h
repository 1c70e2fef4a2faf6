#pragma once

#include <QLineEdit>

// The inline editor over a row's number. Return or Enter commits what was typed, Escape or
// leaving the field drops it: a number half typed when the operator clicks away must not rename
// a cue a desk fires by. It goes away once either is done.
class CueNumberEditor : public QLineEdit {
    Q_OBJECT
public:
    explicit CueNumberEditor(QWidget* parent);

signals:
    void committed(const QString& text);
    void closed();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void finish(bool commit);
    bool done_ = false;
};
