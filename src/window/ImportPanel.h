#pragma once

#include <QPointer>
#include <QProgressDialog>
#include <QStringList>
#include <QThreadPool>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The open panel for an import: several audio files, no folders, nothing created from it.
// Returns the chosen paths in the panel's order, none when it was cancelled.
QStringList chooseAudioFiles(QWidget* parent);

// The progress dialog of an import. Cancel, Ctrl+W and the close box all mean the same: stop
// once the file being copied is in, so the dialog stays up (and the application blocked) until
// then, and tells the user what it is waiting for.
class ImportProgressDialog : public QProgressDialog {
    Q_OBJECT
public:
    explicit ImportProgressDialog(QWidget* parent);

    bool stopRequested() const { return stopRequested_; }

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void requestStop();

    bool stopRequested_ = false;
};

// Brings the chosen files in one by one on a worker thread (copy, check, opening of the stored
// file) while the GUI thread goes on painting and running the show's timers. The caller stays
// on the GUI thread and owns everything the jobs lead to.
class ImportProgress {
public:
    ImportProgress(QWidget* parent, const QStringList& sources);
    ~ImportProgress();
    ImportProgress(const ImportProgress&) = delete;
    ImportProgress& operator=(const ImportProgress&) = delete;

    // Runs the bringing-in of source `index`, stored as `storedName`, on the worker thread: its
    // copy, its check and the opening of its audio. The job counts the bytes it copied in
    // `copied`. Returns once the job has ended, with its result; the GUI thread runs events
    // meanwhile.
    using Job = std::function<bool(std::atomic<int64_t>* copied)>;
    bool run(int index, const QString& storedName, Job job);
    // The file copied last has become a cue.
    void fileDone(int index);
    // The user asked to stop after the file being copied.
    bool stopRequested() const { return dialog_ && dialog_->stopRequested(); }

private:
    void show(int filesDone, int64_t bytesDone);

    QPointer<ImportProgressDialog> dialog_;
    QStringList sources_;
    std::vector<int64_t> sizes_;
    int64_t totalBytes_ = 0;
    int64_t doneBytes_ = 0;
    QString current_;
    // A thread of its own, so an import never queues behind other background work.
    QThreadPool pool_;
};
