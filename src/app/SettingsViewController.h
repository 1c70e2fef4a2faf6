#pragma once

#include <QWidget>
#include <memory>

#include "app/OutputPatch.h"
#include "window/ConfirmDialog.h"

class OutputPatchSettings;
class QScrollArea;

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
    QSize sizeHint() const override;

    // Asks first, then posts "resetCX" on the default center, not through the application
    // delegate.
    void resetButton(QObject* sender = nullptr);
    // Who answers the reset question; the dialog unless replaced.
    void setConfirmer(Confirmer confirmer) { confirmer_ = std::move(confirmer); }
    OutputPatchSettings* outputPatch() const { return outputPatch_; }
    // Show mode: Reset Library is greyed out, the rest (output, patch, remote) stays live.
    void setListLocked(bool locked);

signals:
    // The operator changed the output patch, already saved.
    void outputPatchChanged(const OutputPatch& patch);

private:
    std::unique_ptr<Ui::SettingsView> ui_;
    Confirmer confirmer_;
    OutputPatchSettings* outputPatch_;
    QScrollArea* scroll_;
};
