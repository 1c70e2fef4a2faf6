#pragma once

#include <QWidget>
#include <functional>

class MessageLog;
class QLabel;
class QListWidget;
class QToolButton;

// The window's message area, a strip for the status bar: the warnings that stand (saves that
// fail, no sound output) on a coloured ground, the newest problem with its time, and a button
// that opens the list of the last problems. The list is a panel of the window, not a window of
// its own, so it never takes the show keys from the main window.
class MessageArea : public QWidget {
    Q_OBJECT
public:
    static constexpr int kListed = 100;

    MessageArea(MessageLog& log, QWidget* parent = nullptr);

    // The panel that lists the last problems, newest first; hidden until the button opens it.
    // The window places it.
    QListWidget* list() const { return list_; }
    QLabel* warningLabel() const { return warning_; }
    QLabel* latestLabel() const { return latest_; }
    QToolButton* listButton() const { return button_; }
    // A button beside the newest message that acts on it ("Undo" after a removal); gone with
    // the next message, once pressed, or when withdrawn.
    QToolButton* actionButton() const { return action_; }
    void offerAction(const QString& label, std::function<void()> act);
    void withdrawAction();
    // The list of problems keeps its few lines at any text size (1.0 the normal one).
    void setTextScale(double scale);

private:
    void showWarnings();
    void addEntry(const QDateTime& time, const QString& text);

    MessageLog& log_;
    QLabel* warning_;
    QLabel* latest_;
    QToolButton* button_;
    QToolButton* action_;
    std::function<void()> act_;
    // Made here, placed by the window, which then owns it; the two go together.
    QListWidget* list_;
};
