#pragma once

#include <QWidget>
#include <memory>

#include "window/ConfirmDialog.h"

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

    // Asks first, then posts "resetCX" on the default center, not through the application
    // delegate.
    void resetButton(QObject* sender = nullptr);
    // Who answers the reset question; the dialog unless replaced.
    void setConfirmer(Confirmer confirmer) { confirmer_ = std::move(confirmer); }

private:
    std::unique_ptr<Ui::SettingsView> ui_;
    Confirmer confirmer_;
};
