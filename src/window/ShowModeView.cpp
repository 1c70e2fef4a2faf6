#include "window/ShowModeView.h"

#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <QMainWindow>
#include <QSignalBlocker>

#include "storage/StoragePaths.h"
#include "ui_MainWindow.h"
#include "window/ViewController.h"

ShowModeView::ShowModeView(QMainWindow& window, Ui::MainWindow& ui, ViewController& controller)
    : QObject(&window),
      window_(window),
      ui_(ui),
      controller_(controller),
      title_(window.windowTitle()) {
    action_ = new QAction(tr("Show &Mode (List Locked)"), &window);
    action_->setCheckable(true);
    action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    action_->setToolTip(tr("Lock the list while the show runs"));
    ui_.menuShow->addSeparator();
    ui_.menuShow->addAction(action_);
    connect(action_, &QAction::toggled, &controller, &ViewController::setShowMode);

    banner_ = new QLabel(tr("SHOW MODE: the list is locked. Go, Stop All and selection work; "
                            "Ctrl+L (Show ▸ Show Mode) unlocks it."),
                         &window);
    banner_->setObjectName(QStringLiteral("showModeBanner"));
    banner_->setAlignment(Qt::AlignCenter);
    banner_->setWordWrap(true);
    // On the label alone: a style sheet reaching the table would slow every cell's paint.
    banner_->setStyleSheet(
        QStringLiteral("QLabel { background: #e8a317; color: #1b1b1b; "
                       "font-weight: bold; padding: 6px; }"));
    banner_->hide();
    ui_.mainLayout->insertWidget(0, banner_);

    connect(&controller, &ViewController::showModeChanged, this, &ShowModeView::follow);
    connect(&controller, &ViewController::showOpened, this,
            [this] { follow(controller_.showMode()); });
    follow(controller.showMode());
}

QString ShowModeView::showTitle() const {
    if (storage::isDefaultShow()) return title_;
    const QString folder = QString::fromStdString(storage::showFolder());
    const QString name = QFileInfo(folder).fileName();
    return tr("%1 — %2").arg(name.isEmpty() ? folder : name, title_);
}

void ShowModeView::follow(bool on) {
    {
        // Turned on from elsewhere (the command line): the item shows it without toggling back.
        const QSignalBlocker quiet(action_);
        action_->setChecked(on);
    }
    banner_->setVisible(on);
    const QString title = showTitle();
    window_.setWindowTitle(on ? tr("%1 — Show Mode").arg(title) : title);
    // Greyed rather than hidden: the menu stays where the operator knows it.
    for (QAction* edit :
         {ui_.actionAddTrack, ui_.actionRemoveTrack, ui_.actionDuplicateTrack,
          ui_.actionDuplicateWithoutOptions, ui_.actionEditAudio, ui_.actionMoveUp,
          ui_.actionMoveDown, ui_.actionVolumeUp, ui_.actionVolumeDown, ui_.actionRenumber})
        edit->setEnabled(!on);
    for (QWidget* button : {static_cast<QWidget*>(ui_.addAudioButton),
                            static_cast<QWidget*>(ui_.duplicateAudioButton),
                            static_cast<QWidget*>(ui_.removeAudioButton)})
        button->setEnabled(!on);
}
