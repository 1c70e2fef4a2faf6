// A show exported as one zip archive, and an archive imported into a folder of its own.
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>
#include <memory>
#include <set>

#include "model/CXAudio.h"
#include "platform/MessageLog.h"
#include "storage/ShowArchive.h"
#include "storage/StoragePaths.h"
#include "window/TransferPanel.h"
#include "window/ViewController.h"

namespace {

const QString kArchiveFilter = QStringLiteral("Show archives (*.zip)");

std::string localPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

}  // namespace

bool ViewController::transferring() const {
    return transfer_ != nullptr;
}

TransferPanel* ViewController::transferPanel() const {
    return transfer_;
}

void ViewController::exportShow() {
    if (transfer_) return;
    QWidget* window = audioTable_ ? audioTable_->window() : nullptr;
    QString archive = QFileDialog::getSaveFileName(window, QStringLiteral("Export Show"),
                                                   QDir::homePath() + "/Show.zip", kArchiveFilter);
    if (archive.isEmpty()) return;
    if (!archive.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive)) archive += ".zip";
    exportShowTo(archive);
}

void ViewController::importShow() {
    if (transfer_) return;
    QWidget* window = audioTable_ ? audioTable_->window() : nullptr;
    const QString archive = QFileDialog::getOpenFileName(window, QStringLiteral("Import Show"),
                                                         QDir::homePath(), kArchiveFilter);
    if (archive.isEmpty()) return;
    const QString folder = QFileDialog::getExistingDirectory(
        window, QStringLiteral("A new or empty folder for the imported show"), QDir::homePath());
    if (folder.isEmpty()) return;
    importShowInto(archive, folder);
}

void ViewController::exportShowTo(const QString& archive) {
    if (transfer_) return;
    // The archive takes the list as it is on disk: every change made so far first reaches it.
    closeAudioEditor();
    saveList();
    store_.waitForIdle();
    // The file on disk would be older than the list shown.
    if (MessageLog::instance().warnings().contains(QStringLiteral("save"))) {
        MessageLog::instance().report(
            QStringLiteral("Export to %1 failed: changes are not being saved, so the list file "
                           "is not the list shown.")
                .arg(archive));
        emit transferFinished(false);
        return;
    }
    QFile file(QString::fromStdString(storage::listFilePath()));
    if (!file.open(QIODevice::ReadOnly)) {
        MessageLog::instance().report(
            QStringLiteral("Export to %1 failed: the list file cannot be read (%2).")
                .arg(archive, file.errorString()));
        emit transferFinished(false);
        return;
    }
    const std::string listText = file.readAll().toStdString();
    std::set<std::string> used;
    int missing = 0;
    for (const auto& cue : cxList) {
        if (cue->missing())
            ++missing;
        else if (storage::isStoredName(cue->fileName))
            used.insert(cue->fileName);
    }
    const std::vector<std::string> names(used.begin(), used.end());
    const std::string audioFolder = storage::audioFolderPath();
    const std::string target = localPath(archive);
    runTransfer(
        QStringLiteral("Exporting the show to %1").arg(archive),
        [=](showarchive::Progress* progress, std::string* why) {
            return showarchive::write(target, listText, audioFolder, names, progress, why);
        },
        [archive, count = names.size(), missing](bool ok, const QString& why) {
            QString text = ok ? QStringLiteral("The show was exported to %1 with %2 audio files.")
                                    .arg(archive)
                                    .arg(count)
                              : QStringLiteral("Export to %1 failed: %2.").arg(archive, why);
            if (ok && missing > 0)
                text +=
                    QStringLiteral(" The audio of %1 cues is missing and not in it.").arg(missing);
            MessageLog::instance().report(text);
        });
}

void ViewController::importShowInto(const QString& archive, const QString& folder) {
    if (transfer_) return;
    const std::string source = localPath(archive);
    const std::string target = localPath(folder);
    QPointer<ViewController> self(this);
    runTransfer(
        QStringLiteral("Importing the show %1").arg(archive),
        [=](showarchive::Progress* progress, std::string* why) {
            return showarchive::unpack(source, target, progress, why);
        },
        [self, archive, folder](bool ok, const QString& why) {
            MessageLog::instance().report(
                ok ? QStringLiteral("The show %1 was unpacked into %2.").arg(archive, folder)
                   : QStringLiteral("The show %1 was not imported: %2.").arg(archive, why));
            if (ok && self) emit self->importedShowReady(folder);
        });
}

void ViewController::runTransfer(const QString& what, TransferWork work,
                                 std::function<void(bool ok, const QString& why)> done) {
    auto progress = std::make_shared<showarchive::Progress>();
    QWidget* window = audioTable_ ? audioTable_->window() : nullptr;
    transfer_ = new TransferPanel(window, what, progress);
    transfer_->show();
    struct Result {
        bool ok = false;
        std::string why;
    };
    auto* watcher = new QFutureWatcher<Result>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, done] {
        watcher->deleteLater();
        const Result result = watcher->result();
        delete transfer_.data();
        done(result.ok, QString::fromStdString(result.why));
        emit transferFinished(result.ok);
    });
    watcher->setFuture(QtConcurrent::run([work = std::move(work), progress] {
        Result result;
        result.ok = work(progress.get(), &result.why);
        return result;
    }));
}
