#include "window/MissingAudioWindow.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

MissingAudioWindow::MissingAudioWindow(QWidget* parent)
    : QWidget(parent, Qt::Window),
      summary_(new QLabel(this)),
      list_(new QTreeWidget(this)),
      find_(new QPushButton(tr("&Find in Folder…"), this)) {
    setWindowTitle(tr("Missing Audio"));
    summary_->setWordWrap(true);
    list_->setHeaderLabels({tr("Cue"), tr("Title"), tr("File")});
    list_->setRootIsDecorated(false);
    list_->header()->setStretchLastSection(true);
    auto* close = new QPushButton(tr("Close"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(find_);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(summary_);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);
    resize(560, 320);
    connect(find_, &QPushButton::clicked, this, &MissingAudioWindow::findRequested);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    // Closes as the other windows do; Escape stays the show's Stop All.
    auto* closeKey = new QAction(this);
    closeKey->setShortcut(QKeySequence::Close);
    connect(closeKey, &QAction::triggered, this, &QWidget::close);
    addAction(closeKey);
}

void MissingAudioWindow::setRows(const std::vector<Row>& rows) {
    list_->clear();
    for (const Row& row : rows)
        list_->addTopLevelItem(new QTreeWidgetItem({row.number, row.title, row.fileName}));
    list_->resizeColumnToContents(0);
    list_->resizeColumnToContents(1);
    empty_ = rows.empty();
    const QString count = rows.size() == 1
                              ? tr("1 cue has no audio file and plays")
                              : tr("%1 cues have no audio file and play").arg(rows.size());
    summary_->setText(empty_ ? tr("Every cue has its audio file again.")
                             : tr("%1 nothing. Find in Folder looks for "
                                  "the files by name and length and copies them into the "
                                  "show's audio folder.")
                                   .arg(count));
    find_->setEnabled(!empty_ && !searching_);
}

void MissingAudioWindow::setSearching(bool searching) {
    searching_ = searching;
    find_->setEnabled(!empty_ && !searching_);
    if (searching_) summary_->setText(tr("Looking for the missing files…"));
}
