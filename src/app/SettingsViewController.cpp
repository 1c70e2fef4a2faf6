#include "app/SettingsViewController.h"

#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "app/DisplaySettings.h"
#include "app/OutputPatchSettings.h"
#include "app/OutputSettings.h"
#include "app/StopSettings.h"
#include "platform/NotificationCenter.h"
#include "remote/RemoteSettings.h"
#include "ui_SettingsView.h"
#include "window/WheelNeedsFocus.h"

SettingsViewController::SettingsViewController(QWidget* parent)
    : QWidget(parent, Qt::Dialog),
      ui_(std::make_unique<Ui::SettingsView>()),
      outputPatch_(new OutputPatchSettings(this)) {
    // In a scroll area: at a large text size the page is taller than a laptop's screen.
    auto* page = new QWidget;
    ui_->setupUi(page);
    setWindowTitle(page->windowTitle());
    auto* scroll = scroll_ = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setWidget(page);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);
    ui_->settingsLayout->insertWidget(0, new OutputSettings(this));
    ui_->settingsLayout->insertWidget(1, outputPatch_);
    connect(outputPatch_, &OutputPatchSettings::patchChanged, this,
            &SettingsViewController::outputPatchChanged);
    ui_->settingsLayout->insertWidget(2, new StopSettings(this));
    ui_->settingsLayout->insertWidget(3, new DisplaySettings(this));
    ui_->settingsLayout->addWidget(new RemoteSettingsWidget(this));
    takeWheelOnlyWithFocus(this);
    connect(ui_->resetButton, &QPushButton::clicked, this,
            [this] { resetButton(ui_->resetButton); });
}

QSize SettingsViewController::sizeHint() const {
    // The whole page where the screen has room for it.
    const QSize whole =
        scroll_->widget()->sizeHint() + QSize(scroll_->verticalScrollBar()->sizeHint().width(), 0);
    return whole.boundedTo(screen()->availableGeometry().size() * 0.9);
}

SettingsViewController::~SettingsViewController() {
    // The page still saves a name being typed as it hides during the teardown below, but this
    // controller is no longer there to pass the news on.
    disconnect(outputPatch_, nullptr, this, nullptr);
}

void SettingsViewController::setListLocked(bool locked) {
    ui_->resetButton->setEnabled(!locked);
}

void SettingsViewController::resetButton(QObject*) {
    const Confirmation question{
        QStringLiteral("Reset Library"),
        QStringLiteral("Remove every cue and delete the stored audio files?\n"
                       "Every cue stops at once. This cannot be undone."),
        QStringLiteral("&Reset Library")};
    const bool confirmed =
        confirmer_ ? confirmer_(this, question) : confirmDestructive(this, question);
    if (confirmed) NotificationCenter::defaultCenter().post("resetCX");
}
