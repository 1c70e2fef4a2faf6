#pragma once

#include <QMainWindow>
#include <memory>

#include "window/ViewController.h"

class MasterLevel;
class MessageArea;
class OutputMeters;
class OutputPatch;
class ShowModeView;
class ShowKeyGuard;
class StandbyPanel;

namespace Ui {
class MainWindow;
}

// The main window as the layout describes it, with its controller connected and started.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    ViewController& controller() { return *controller_; }
    Ui::MainWindow& ui() { return *ui_; }
    MessageArea* messageArea() const { return messages_; }
    OutputMeters* outputMeters() const { return meters_; }
    ShowModeView* showModeView() const { return showMode_; }
    MasterLevel* masterLevel() const { return master_; }
    StandbyPanel* standbyPanel() const { return standby_; }

    // The operator changed this machine's output patch (in the settings): everything in the
    // window that names or routes to outputs takes it up here.
    void outputPatchChanged(const OutputPatch& patch);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    bool askToQuit();
    void connectUndo();
    void addStopControls(ShowKeyGuard* guard);
    void addStandbyPanel();
    // The saved theme and text size, and again whenever they change.
    void followAppearance();

    std::unique_ptr<Ui::MainWindow> ui_;
    // Destroyed before the widgets: a late fade completion must find no controller rather than
    // a controller whose table is gone.
    std::unique_ptr<ViewController> controller_;
    MessageArea* messages_ = nullptr;
    OutputMeters* meters_ = nullptr;
    ShowModeView* showMode_ = nullptr;
    MasterLevel* master_ = nullptr;
    StandbyPanel* standby_ = nullptr;
    bool askingToQuit_ = false;
};
