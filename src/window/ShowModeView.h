#pragma once

#include <QObject>
#include <QString>

class QAction;
class QLabel;
class QMainWindow;
class ViewController;

namespace Ui {
class MainWindow;
}

// The main window's side of show mode: the checked menu item and its key that turn it on and
// off (one deliberate action either way, no question), the banner and title that say plainly
// it is on, and the editing commands greyed out while it is. The title names the show in use
// too, the default show by the program's name alone.
// The action and the banner belong to the window, which outlives this object.
class ShowModeView : public QObject {
    Q_OBJECT
public:
    ShowModeView(QMainWindow& window, Ui::MainWindow& ui, ViewController& controller);

    QAction* action() const { return action_; }
    QLabel* banner() const { return banner_; }

private:
    void follow(bool on);
    QString showTitle() const;

    QMainWindow& window_;
    Ui::MainWindow& ui_;
    QAction* action_ = nullptr;
    QLabel* banner_ = nullptr;
    ViewController& controller_;
    QString title_;
};
