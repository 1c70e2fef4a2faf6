#pragma once

#include <QString>
#include <QWidget>
#include <memory>

#include "storage/ShowArchive.h"

class QLabel;
class QProgressBar;
class QTimer;

// A small panel beside the main window that shows how far an export or import of a show has
// come. It is no dialog and never takes the focus: Go and Stop All keep working while it runs.
class TransferPanel : public QWidget {
    Q_OBJECT
public:
    TransferPanel(QWidget* parent, const QString& what,
                  std::shared_ptr<const showarchive::Progress> progress);

    QProgressBar* bar() const { return bar_; }

private:
    void refresh();

    std::shared_ptr<const showarchive::Progress> progress_;
    QLabel* label_;
    QProgressBar* bar_;
    QTimer* timer_;
};
