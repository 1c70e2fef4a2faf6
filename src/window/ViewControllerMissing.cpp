// Cues whose stored file is missing: how their rows look, what Go says, the window that lists
// them and the search that brings their files back.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFutureWatcher>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <map>
#include <memory>
#include <set>

#include "audio/AudioEngine.h"
#include "model/CXAudio.h"
#include "platform/MessageLog.h"
#include "storage/AudioFinder.h"
#include "storage/StoragePaths.h"
#include "window/CXTableCell.h"
#include "window/MissingAudioWindow.h"
#include "window/ViewController.h"

MissingAudioWindow* ViewController::missingAudioWindow() const {
    return missingWindow_;
}

bool ViewController::anyMissing() const {
    for (const auto& cue : cxList)
        if (cue->missing()) return true;
    return false;
}

void ViewController::showMissing(CXTableCell* cell, int column, const CXAudio& cue) const {
    // Cells are reused for other rows: a cue with its file takes the ordinary look back.
    const QString why = cue.missing()
                            ? QStringLiteral(
                                  "The audio file “%1” is missing: this cue plays nothing. "
                                  "File ▸ Missing Audio finds it.")
                                  .arg(QString::fromStdString(cue.fileName))
                            : QString();
    if (column == 1) {
        if (QPushButton* button = cell->cxPlayButton()) {
            button->setIcon(cue.missing()
                                ? button->style()->standardIcon(QStyle::SP_MessageBoxWarning)
                                : QIcon());
            button->setToolTip(why);
        }
    } else if (column == 2) {
        if (QLineEdit* title = cell->cxAudioTitle()) {
            // Only the clear ground is the cell's own, and a missing cue's grey text: the rest
            // follows the window, so the text keeps up with a change of theme.
            QPalette palette;
            palette.setColor(QPalette::Base, Qt::transparent);
            if (cue.missing())
                for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
                    palette.setColor(
                        group, QPalette::Text,
                        QApplication::palette(title).color(QPalette::Disabled, QPalette::Text));
            title->setPalette(palette);
            title->setToolTip(why);
        }
    }
}

void ViewController::showMissingAudio() {
    if (!missingWindow_) {
        if (!anyMissing()) return;
        missingWindow_ = new MissingAudioWindow(audioTable_ ? audioTable_->window() : nullptr);
        missingWindow_->setAttribute(Qt::WA_DeleteOnClose);
        connect(missingWindow_, &MissingAudioWindow::findRequested, this, [this] {
            const QString folder = QFileDialog::getExistingDirectory(
                missingWindow_, QStringLiteral("Find the missing audio in…"), QDir::homePath());
            if (!folder.isEmpty()) findMissingIn(folder);
        });
    }
    refreshMissingAudio();
    missingWindow_->show();
    missingWindow_->raise();
}

void ViewController::refreshMissingAudio() {
    if (!missingWindow_) return;
    std::vector<MissingAudioWindow::Row> rows;
    for (size_t i = 0; i < cxList.size(); ++i)
        if (cxList[i]->missing())
            rows.push_back({QString::fromStdString(cxList[i]->cueNumber),
                            QString::fromStdString(cxList[i]->audioTitle),
                            QString::fromStdString(cxList[i]->fileName)});
    missingWindow_->setRows(rows);
}

void ViewController::findMissingIn(const QString& folder) {
    std::vector<audiofinder::Wanted> wanted;
    std::set<std::string> names;
    for (const auto& cue : cxList)
        if (cue->missing() && names.insert(cue->fileName).second)
            wanted.push_back({cue->fileName, cue->storedLength()});
    if (wanted.empty() || searching_ > 0) return;
    ++searching_;
    if (missingWindow_) missingWindow_->setSearching(true);
    struct Result {
        std::vector<std::string> found;
        std::vector<std::string> problems;
    };
    const std::string where = QFile::encodeName(folder).toStdString();
    const std::string audioFolder = storage::audioFolderPath();
    AudioEngine* engine = &AudioEngine::shared();
    auto* watcher = new QFutureWatcher<Result>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, folder, wanted] {
        watcher->deleteLater();
        const Result result = watcher->result();
        for (const std::string& problem : result.problems)
            MessageLog::instance().report(QString::fromStdString(problem) + '.');
        // Each cue on a found file gets a player of its own, opened off this thread.
        for (const std::string& name : result.found) {
            for (const auto& cue : cxList) {
                if (!cue->missing() || cue->fileName != name) continue;
                ++searching_;
                std::weak_ptr<CXAudio> weak = cue;
                openInBackground(
                    name, [this, weak](std::unique_ptr<AudioPlayer> player, const std::string&) {
                        --searching_;
                        const auto cue = weak.lock();
                        if (cue && player && cue->missing()) {
                            player->setDelegate(this);
                            cue->relink(std::move(player));
                            if (audioTable_) audioTable_->reloadData();
                            saveList();
                        }
                        if (searching_ == 0 && missingWindow_) missingWindow_->setSearching(false);
                        refreshMissingAudio();
                    });
            }
        }
        MessageLog::instance().report(QStringLiteral("Found %1 of %2 missing audio files in %3.")
                                          .arg(result.found.size())
                                          .arg(wanted.size())
                                          .arg(folder));
        --searching_;
        if (searching_ == 0 && missingWindow_) missingWindow_->setSearching(false);
        refreshMissingAudio();
    });
    watcher->setFuture(QtConcurrent::run([where, wanted, audioFolder, engine] {
        Result result;
        result.found = audiofinder::find(where, wanted, audioFolder, *engine, &result.problems);
        return result;
    }));
}
