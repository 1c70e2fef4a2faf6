#include "window/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QListWidget>
#include <QPalette>
#include <QStatusBar>

#include "audio/AudioEngine.h"
#include "platform/MessageLog.h"
#include "ui_MainWindow.h"
#include "widgets/OutputMeters.h"
#include "window/Appearance.h"
#include "window/MessageArea.h"
#include "window/RecentShows.h"
#include "window/ShowKeyGuard.h"
#include "window/ShowModeView.h"
#include "window/StandbyPanel.h"

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui_(std::make_unique<Ui::MainWindow>()) {
    // Before the first widget: each is built in the saved theme and text size.
    Appearance::instance().applySaved();
    ui_->setupUi(this);
    controller_ = std::make_unique<ViewController>();
    controller_->setAudioTable(ui_->audioTable);
    connect(ui_->stopAllButton, &QPushButton::clicked, controller_.get(),
            [this] { controller_->stopAllButton(ui_->stopAllButton); });
    connect(ui_->addAudioButton, &QPushButton::clicked, controller_.get(),
            [this] { controller_->addAudioButton(ui_->addAudioButton); });
    connect(ui_->duplicateAudioButton, &QPushButton::clicked, controller_.get(),
            [this] { controller_->duplicateAudioButton(ui_->duplicateAudioButton); });
    connect(ui_->removeAudioButton, &QPushButton::clicked, controller_.get(),
            [this] { controller_->removeAudioButton(ui_->removeAudioButton); });
    connect(ui_->actionRenumber, &QAction::triggered, controller_.get(),
            [this] { controller_->askRenumberSelected(); });
    auto* guard = new ShowKeyGuard(this, ui_->actionGo, ui_->actionStopAll);
    qApp->installEventFilter(guard);
    // Before the list loads and the sound output opens, so that what they run into is shown.
    MessageLog& log = MessageLog::instance();
    messages_ = new MessageArea(log, this);
    ui_->mainLayout->insertWidget(1, messages_->list());
    statusBar()->addWidget(messages_, 1);
    statusBar()->setSizeGripEnabled(false);
    connectUndo();
    showMode_ = new ShowModeView(*this, *ui_, *controller_);
    new RecentShowsMenu(ui_->menuOpenRecent, *controller_);
    meters_ = new OutputMeters(AudioEngine::shared(), this);
    ui_->tableRow->addWidget(meters_);
    connect(controller_.get(), &ViewController::positionsShown, meters_,
            &OutputMeters::displayPass);
    // Offered while some cue's audio is missing.
    connect(controller_.get(), &ViewController::missingAudioChanged, ui_->actionMissingAudio,
            &QAction::setEnabled);
    controller_->viewDidLoad();
    ui_->actionMissingAudio->setEnabled(controller_->anyMissing());
    addStopControls(guard);
    addStandbyPanel();
    followAppearance();
    connect(&Appearance::instance(), &Appearance::changed, this, &MainWindow::followAppearance);
}

void MainWindow::addStandbyPanel() {
    standby_ = new StandbyPanel(*controller_, this);
    // Under the show mode banner, above the list.
    ui_->mainLayout->insertWidget(1, standby_);
    // The GO button is the Go key, guard against a doubled press included.
    connect(standby_, &StandbyPanel::goPressed, ui_->actionGo, &QAction::trigger);
    connect(ui_->audioTable->selectionModel(), &QItemSelectionModel::selectionChanged, standby_,
            &StandbyPanel::showStandby);
    connect(ui_->audioTable->selectionModel(), &QItemSelectionModel::currentChanged, standby_,
            &StandbyPanel::showStandby);
    connect(controller_.get(), &ViewController::listChanged, standby_, &StandbyPanel::showStandby);
    connect(controller_.get(), &ViewController::positionsShown, standby_,
            &StandbyPanel::showPlaying);
    standby_->showStandby();
}

void MainWindow::followAppearance() {
    const Appearance& look = Appearance::instance();
    // A tinted selection keeps the green and gray option icons and the play button's colour
    // readable on the selected row, in either theme.
    QPalette palette = ui_->audioTable->palette();
    palette.setColor(QPalette::Highlight, look.selectionTint());
    palette.setColor(QPalette::HighlightedText, QApplication::palette().color(QPalette::Text));
    ui_->audioTable->setPalette(palette);
    ui_->audioTable->setUniformRowHeight(look.scaled(ViewController::kRowHeight));
    ui_->audioTable->setTextScale(look.textScale());
    meters_->setTextScale(look.textScale());
    messages_->setTextScale(look.textScale());
    look.scaleSizes(ui_->stopAllButton);
}

void MainWindow::outputPatchChanged(const OutputPatch& patch) {
    meters_->setPatch(patch);
    controller_->patchChanged(patch);
}

void MainWindow::connectUndo() {
    QUndoStack& stack = controller_->history().stack();
    auto showSteps = [this, &stack] {
        // The menu says what it would take back, as "Undo Remove"; show mode takes back nothing.
        const bool open = !controller_->showMode();
        ui_->actionUndo->setEnabled(open && stack.canUndo());
        ui_->actionUndo->setText(stack.canUndo() ? tr("&Undo %1").arg(stack.undoText())
                                                 : tr("&Undo"));
        ui_->actionRedo->setEnabled(open && stack.canRedo());
        ui_->actionRedo->setText(stack.canRedo() ? tr("&Redo %1").arg(stack.redoText())
                                                 : tr("&Redo"));
    };
    showSteps();
    connect(&stack, &QUndoStack::indexChanged, this, showSteps);
    connect(&stack, &QUndoStack::undoTextChanged, this, showSteps);
    connect(&stack, &QUndoStack::redoTextChanged, this, showSteps);
    connect(controller_.get(), &ViewController::showModeChanged, this, showSteps);
    connect(ui_->actionUndo, &QAction::triggered, this, [this] { controller_->undo(); });
    connect(ui_->actionRedo, &QAction::triggered, this, [this] { controller_->redo(); });
    // The message's Undo takes back the change it tells of, and only while that is the last.
    connect(controller_.get(), &ViewController::undoOffered, this, [this, &stack] {
        messages_->offerAction(tr("Undo"), [this, &stack, step = stack.index()] {
            if (stack.index() == step) controller_->undo();
        });
    });
    connect(&stack, &QUndoStack::indexChanged, messages_, &MessageArea::withdrawAction);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Every way of quitting ends here (the menu, Ctrl+Q, Alt+F4, the close box). A second one
    // while the question is up is the same question.
    if (askingToQuit_ || !askToQuit()) {
        event->ignore();
        return;
    }
    // The editor is a window of its own now: an edit still open in it is saved, not lost with
    // the program.
    controller_->closeAudioEditor();
    QMainWindow::closeEvent(event);
}

bool MainWindow::askToQuit() {
    askingToQuit_ = true;
    const bool quit = controller_->mayQuit(this);
    askingToQuit_ = false;
    return quit;
}

MainWindow::~MainWindow() {
    // The table outlives the controller by a few lines of teardown; it must not ask it for rows.
    ui_->audioTable->setDataSource(nullptr);
    // The history empties itself as the controller goes, and the menu must not hear it.
    controller_->history().stack().disconnect();
}
