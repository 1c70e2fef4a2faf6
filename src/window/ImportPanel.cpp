#include "window/ImportPanel.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLocale>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <atomic>

#include "storage/Importer.h"

namespace {

// A short import finishes before the dialog would be read, so it never flashes up.
constexpr int kShowAfterMs = 400;
constexpr int kRefreshMs = 50;
constexpr int kScale = 1000;

}  // namespace

QStringList chooseAudioFiles(QWidget* parent) {
    QFileDialog panel(parent, QStringLiteral("Select audio files for import"));
    panel.setSizeGripEnabled(true);
    panel.setFilter(QDir::AllDirs | QDir::Files | QDir::NoDotAndDotDot);
    panel.setFileMode(QFileDialog::ExistingFiles);
    // Read-only: no new folders, no renames or deletes from inside the panel.
    panel.setOption(QFileDialog::ReadOnly, true);
    panel.setNameFilter(importer::nameFilter());
    // Show files usually come from one folder: the panel opens where the last import was made.
    static QString lastFolder = QDir::homePath();
    panel.setDirectory(lastFolder);
    if (panel.exec() != QDialog::Accepted) return {};
    lastFolder = panel.directory().absolutePath();
    return panel.selectedFiles();
}

ImportProgressDialog::ImportProgressDialog(QWidget* parent) : QProgressDialog(parent) {
    setWindowTitle(QStringLiteral("Importing Audio"));
    // Blocks the settings window too: nothing may change the list or empty the storage folder
    // while files are being copied into it.
    setWindowModality(Qt::ApplicationModal);
    setAutoClose(false);
    setAutoReset(false);
    setRange(0, kScale);
    setMinimumWidth(420);
    setMinimumDuration(kShowAfterMs);
    // Cancelling must not hide the dialog while a copy is still running.
    disconnect(this, &QProgressDialog::canceled, this, &QProgressDialog::cancel);
    connect(this, &QProgressDialog::canceled, this, &ImportProgressDialog::requestStop);
}

void ImportProgressDialog::reject() {
    requestStop();
}

void ImportProgressDialog::closeEvent(QCloseEvent* event) {
    event->ignore();
    requestStop();
}

void ImportProgressDialog::requestStop() {
    if (stopRequested_) return;
    stopRequested_ = true;
    setCancelButtonText(QString());
}

ImportProgress::ImportProgress(QWidget* parent, const QStringList& sources)
    : dialog_(new ImportProgressDialog(parent)), sources_(sources) {
    pool_.setMaxThreadCount(1);
    for (const QString& source : sources_) {
        sizes_.push_back(importer::fileSize(QFile::encodeName(source).toStdString()));
        totalBytes_ += sizes_.back();
    }
}

ImportProgress::~ImportProgress() {
    pool_.waitForDone();
    delete dialog_.data();
}

bool ImportProgress::run(int index, const QString& storedName, Job job) {
    current_ = QFileInfo(sources_[index]).fileName();
    if (current_.isEmpty()) current_ = storedName;

    std::atomic<int64_t> copied{0};
    QFutureWatcher<bool> watcher;
    watcher.setFuture(QtConcurrent::run(&pool_, [&job, &copied] { return job(&copied); }));
    QTimer refresh;
    refresh.setInterval(kRefreshMs);
    QObject::connect(&refresh, &QTimer::timeout,
                     [&] { show(index, doneBytes_ + copied.load(std::memory_order_relaxed)); });
    show(index, doneBytes_);
    refresh.start();
    while (!watcher.isFinished()) {
        // Until the dialog is up it blocks nothing, so clicks and keys wait for the import to
        // end rather than reach a list that is half imported.
        const bool blocking = dialog_ && dialog_->isVisible();
        QCoreApplication::processEvents(
            QEventLoop::WaitForMoreEvents |
            (blocking ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents));
    }
    refresh.stop();
    return watcher.result();
}

void ImportProgress::fileDone(int index) {
    doneBytes_ += sizes_[std::size_t(index)];
    show(index, doneBytes_);
}

void ImportProgress::show(int index, int64_t bytesDone) {
    if (!dialog_) return;
    const QLocale locale;
    const int files = int(sources_.size());
    QString text = QStringLiteral("Copying “%1”\nFile %2 of %3 — %4 of %5")
                       .arg(current_)
                       .arg(index + 1)
                       .arg(files)
                       .arg(locale.formattedDataSize(std::min(bytesDone, totalBytes_)))
                       .arg(locale.formattedDataSize(totalBytes_));
    if (dialog_->stopRequested()) text += QStringLiteral("\nStopping once this file is in…");
    dialog_->setLabelText(text);
    const int64_t value = totalBytes_ > 0 ? std::min(bytesDone, totalBytes_) * kScale / totalBytes_
                                          : int64_t(index) * kScale / std::max(files, 1);
    // Setting the start value again would restart the dialog's wait before it shows, so a copy
    // stuck at its start (a slow mount) would never show its dialog.
    if (int(value) != dialog_->value()) dialog_->setValue(int(value));
}
