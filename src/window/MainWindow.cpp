#include "window/MainWindow.h"

#include "ui_MainWindow.h"

namespace {
// The play button is the row's state at a glance: neutral when stopped, green while playing,
// amber while a fade runs. Keyed on the title the transport sets.
const char* const kTableStyle = R"(
QPushButton#cxPlayButton {
    border: 1px solid #9a9a9e; border-radius: 4px; padding: 1px 6px;
    background: #f6f6f6; color: #202020; font-weight: bold;
}
QPushButton#cxPlayButton:pressed { background: #dcdcdc; }
QPushButton#cxPlayButton[transport="Stop"] {
    background: #2ea043; border-color: #1f7a31; color: white;
}
QPushButton#cxPlayButton[transport="Fading"] {
    background: #e8a317; border-color: #b07a0c; color: #1b1b1b;
}
QLineEdit#cxAudioTitle { background: transparent; }
)";
}  // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui_(std::make_unique<Ui::MainWindow>()) {
    ui_->setupUi(this);
    ui_->audioTable->setStyleSheet(kTableStyle);
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
    controller_->viewDidLoad();
}

MainWindow::~MainWindow() {
    // The table outlives the controller by a few lines of teardown; it must not ask it for rows.
    ui_->audioTable->setDataSource(nullptr);
}
