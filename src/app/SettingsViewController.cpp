#include "app/SettingsViewController.h"

#include "app/OutputSettings.h"
#include "platform/NotificationCenter.h"
#include "ui_SettingsView.h"

SettingsViewController::SettingsViewController(QWidget* parent)
    : QWidget(parent, Qt::Dialog), ui_(std::make_unique<Ui::SettingsView>()) {
    ui_->setupUi(this);
    ui_->settingsLayout->insertWidget(0, new OutputSettings(this));
    connect(ui_->resetButton, &QPushButton::clicked, this,
            [this] { resetButton(ui_->resetButton); });
}

SettingsViewController::~SettingsViewController() = default;

void SettingsViewController::resetButton(QObject*) {
    NotificationCenter::defaultCenter().post("resetCX");
}
