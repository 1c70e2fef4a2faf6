#include "app/AppDelegate.h"

#include <QAction>
#include <QKeySequence>
#include <utility>

#include "app/OutputPatchSettings.h"
#include "app/SettingsViewController.h"
#include "platform/NotificationCenter.h"
#include "ui_MainWindow.h"
#include "widgets/OutputMeters.h"
#include "window/MainWindow.h"

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent), ownCenter_(std::make_unique<NotificationCenter>()), nc_(ownCenter_.get()) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    nc_ = &NotificationCenter::defaultCenter();
    ownCenter_.reset();
}

void AppDelegate::closeWindow(QObject*) {
    nc_->post("closeWindow");
}

void AppDelegate::volumeUp(QObject*) {
    nc_->post("volumeUp");
}

void AppDelegate::volumeDown(QObject*) {
    nc_->post("volumeDown");
}

void AppDelegate::moveAudioUp(QObject*) {
    nc_->post("moveAudioUp");
}

void AppDelegate::moveAudioDown(QObject*) {
    nc_->post("moveAudioDown");
}

void AppDelegate::saveCX(QObject*) {
    nc_->post("saveCX");
}

void AppDelegate::addTrack(QObject*) {
    nc_->post("addTrack");
}

void AppDelegate::removeTrack(QObject*) {
    nc_->post("removeTrack");
}

void AppDelegate::duplicateTrack(QObject*) {
    nc_->post("duplicateTrack");
}

void AppDelegate::duplicateTrackWithoutOptions(QObject*) {
    nc_->post("duplicateTrackWithoutOptions");
}

void AppDelegate::editAudio(QObject*) {
    nc_->post("editAudio");
}

void AppDelegate::newShow(QObject*) {
    nc_->post("newShow");
}

void AppDelegate::openShow(QObject*) {
    nc_->post("openShow");
}

void AppDelegate::saveShowAs(QObject*) {
    nc_->post("saveShowAs");
}

void AppDelegate::goCX(QObject*) {
    nc_->post("goCX");
}

void AppDelegate::stopAllCX(QObject*) {
    nc_->post("stopAllCX");
}

void AppDelegate::exportShow(QObject*) {
    nc_->post("exportShow");
}

void AppDelegate::importShow(QObject*) {
    nc_->post("importShow");
}

void AppDelegate::missingAudio(QObject*) {
    nc_->post("missingAudio");
}

void AppDelegate::connectMenu(MainWindow& window) {
    Ui::MainWindow& ui = window.ui();
    using Action = void (AppDelegate::*)(QObject*);
    const std::pair<QAction*, Action> items[] = {
        {ui.actionCloseWindow, &AppDelegate::closeWindow},
        {ui.actionVolumeUp, &AppDelegate::volumeUp},
        {ui.actionVolumeDown, &AppDelegate::volumeDown},
        {ui.actionMoveUp, &AppDelegate::moveAudioUp},
        {ui.actionMoveDown, &AppDelegate::moveAudioDown},
        {ui.actionSave, &AppDelegate::saveCX},
        {ui.actionAddTrack, &AppDelegate::addTrack},
        {ui.actionRemoveTrack, &AppDelegate::removeTrack},
        {ui.actionDuplicateTrack, &AppDelegate::duplicateTrack},
        {ui.actionDuplicateWithoutOptions, &AppDelegate::duplicateTrackWithoutOptions},
        {ui.actionEditAudio, &AppDelegate::editAudio},
        {ui.actionNewShow, &AppDelegate::newShow},
        {ui.actionOpenShow, &AppDelegate::openShow},
        {ui.actionSaveShowAs, &AppDelegate::saveShowAs},
        {ui.actionGo, &AppDelegate::goCX},
        {ui.actionStopAll, &AppDelegate::stopAllCX},
        {ui.actionExportShow, &AppDelegate::exportShow},
        {ui.actionImportShow, &AppDelegate::importShow},
        {ui.actionMissingAudio, &AppDelegate::missingAudio},
    };
    // Copied out of the pair: clang 14 (the sanitizer builds) cannot capture a structured binding.
    for (const auto& item : items) {
        QAction* action = item.first;
        const auto handler = item.second;
        connect(action, &QAction::triggered, this,
                [this, action, handler] { (this->*handler)(action); });
    }

    // A layout file holds one key per item; these take the second key people reach for.
    ui.actionRemoveTrack->setShortcuts(
        {QKeySequence(QKeySequence::Delete), QKeySequence(Qt::CTRL | Qt::Key_Backspace)});
    ui.actionVolumeUp->setShortcuts(
        {QKeySequence(Qt::CTRL | Qt::Key_Equal), QKeySequence(Qt::CTRL | Qt::Key_Plus)});

    connect(ui.actionSettings, &QAction::triggered, this,
            [this, &window] { showSettings(&window); });
    // Quitting is closing the main window, which ends the program.
    connect(ui.actionQuit, &QAction::triggered, &window, &QWidget::close);
}

SettingsViewController* AppDelegate::showSettings(QWidget* parent) {
    if (!settings_) {
        settings_ = new SettingsViewController(parent);
        settings_->setAttribute(Qt::WA_DeleteOnClose);
        if (auto* window = qobject_cast<MainWindow*>(parent)) {
            // Tied to the window's central part, which goes before the settings (a later
            // child) as the window is destroyed: a name stored as the settings then hide must
            // reach nothing half torn down.
            connect(settings_, &SettingsViewController::outputPatchChanged, window->centralWidget(),
                    [window](const OutputPatch& patch) { window->outputPatchChanged(patch); });
            // The meters are the first to see another device's channels (while a cue plays);
            // the patch open beside them follows at once.
            connect(window->outputMeters(), &OutputMeters::channelsChanged,
                    settings_->outputPatch(), &OutputPatchSettings::followDevice);
            settings_->setListLocked(window->controller().showMode());
            connect(&window->controller(), &ViewController::showModeChanged, settings_,
                    &SettingsViewController::setListLocked);
        }
        // A plain widget window opens wherever the window system likes; over the main window
        // is where the user is looking.
        if (parent) {
            // Its own size hint, not adjustSize()'s two thirds of the screen: the page scrolls
            // only where the screen is too small for it.
            settings_->resize(settings_->sizeHint());
            settings_->move(parent->geometry().center() - settings_->rect().center());
        }
    }
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
    return settings_;
}
