#pragma once

#include <QWidget>
#include <memory>

namespace Ui {
class SettingsView;
}

// The settings view. Its one command, reset, is only announced: the main window's controller
// owns the list and carries it out.
class SettingsViewController : public QWidget {
    Q_OBJECT
public:
    explicit SettingsViewController(QWidget* parent = nullptr);
    ~SettingsViewController() override;

    // Posts "resetCX" on the default center, not through the application delegate.
    void resetButton(QObject* sender = nullptr);

private:
    std::unique_ptr<Ui::SettingsView> ui_;
};
