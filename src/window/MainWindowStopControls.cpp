// The stop controls of the main window: Fade All and Panic beside Stop All, the master level,
// and their menu items and keys. Built here rather than in the layout file so the window's
// layout stays as it was for everything else.
#include <QAction>
#include <QMenu>
#include <QPushButton>

#include "ui_MainWindow.h"
#include "window/MainWindow.h"
#include "window/MasterLevel.h"
#include "window/ShowKeyGuard.h"

namespace {

QPushButton* stopButton(QWidget* parent, const char* name, const QString& text,
                        const QString& tip) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setToolTip(tip);
    button->setFocusPolicy(Qt::TabFocus);
    button->setAutoDefault(true);
    return button;
}

QAction* showAction(QMenu* menu, const char* name, const QString& text, const QString& tip,
                    const QKeySequence& key = {}) {
    auto* action = new QAction(text, menu);
    action->setObjectName(QLatin1String(name));
    action->setToolTip(tip);
    if (!key.isEmpty()) action->setShortcut(key);
    action->setAutoRepeat(false);
    menu->addAction(action);
    return action;
}

}  // namespace

void MainWindow::addStopControls(ShowKeyGuard* guard) {
    ViewController* vc = controller_.get();
    QWidget* central = ui_->centralWidget;
    const QString fadeTip = tr("Fade every playing cue to silence over the Fade All time");
    const QString panicTip = tr("Silence everything at once; no chained cue starts");
    auto* fadeAll = stopButton(central, "fadeAllButton", tr("Fade All"), fadeTip);
    auto* panic = stopButton(central, "panicButton", tr("Panic"), panicTip);
    master_ = new MasterLevel(central);
    master_->showLevel(vc->masterLevel());
    const int at = ui_->buttonRow->indexOf(ui_->stopAllButton);
    ui_->buttonRow->insertWidget(at, master_);
    ui_->buttonRow->insertWidget(at + 1, fadeAll);
    ui_->buttonRow->insertWidget(at + 2, panic);
    setTabOrder(ui_->removeAudioButton, master_->slider());
    setTabOrder(master_->slider(), fadeAll);
    setTabOrder(fadeAll, panic);
    setTabOrder(panic, ui_->stopAllButton);
    connect(fadeAll, &QPushButton::clicked, vc, [vc] { vc->fadeAll(); });
    connect(panic, &QPushButton::clicked, vc, [vc] { vc->panic(); });
    connect(master_, &MasterLevel::levelChosen, vc, &ViewController::setMasterLevel);
    connect(vc, &ViewController::masterLevelChanged, master_, &MasterLevel::showLevel);

    QMenu* menu = ui_->menuShow;
    menu->addSeparator();
    QAction* fadeAllAction = showAction(menu, "actionFadeAll", tr("&Fade All"), fadeTip,
                                        QKeySequence(Qt::SHIFT | Qt::Key_Escape));
    QAction* fadeCue = showAction(menu, "actionFadeCue", tr("Fade &Out Cue"),
                                  tr("Fade out the selected cue, or the last one started"),
                                  QKeySequence(Qt::Key_F));
    QAction* pause =
        showAction(menu, "actionPauseAll", tr("&Pause All"),
                   tr("Hold every playing cue where it is, or go on"), QKeySequence(Qt::Key_P));
    QAction* panicAction = showAction(menu, "actionPanic", tr("P&anic"), panicTip);
    // One item for both: what P does next.
    connect(menu, &QMenu::aboutToShow, pause, [vc, pause] {
        pause->setText(vc->anyPaused() ? tr("&Resume All") : tr("&Pause All"));
    });
    connect(fadeAllAction, &QAction::triggered, vc, [vc] { vc->fadeAll(); });
    connect(fadeCue, &QAction::triggered, vc, [vc] { vc->fadeSelectedCue(); });
    connect(pause, &QAction::triggered, vc, [vc] { vc->togglePauseAll(); });
    connect(panicAction, &QAction::triggered, vc, [vc] { vc->panic(); });
    for (QAction* action : {fadeAllAction, fadeCue, pause}) guard->addShowAction(action);
}
