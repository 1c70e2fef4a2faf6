#pragma once

#include <QString>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "model/ListFile.h"
#include "storage/SaveWriter.h"

class AudioPlayerDelegate;

// Keeps the cue list in the list file between runs, and moves the stored audio no cue uses to
// the trash. The window's controller owns one and calls it from the GUI thread; the file itself
// is written on a writer thread, one text at a time, always from a snapshot serialised on the
// GUI thread, so the window never waits for the disk.
class ListStore {
public:
    ListStore();
    // Waits for the saves handed over: the last change reaches the disk at quit.
    ~ListStore();
    ListStore(const ListStore&) = delete;
    ListStore& operator=(const ListStore&) = delete;

    // Appends a cue for every element whose stored file opens, and a missing cue for every one
    // whose stored file is not there; the delegate hears their ends.
    // An element whose file name leads out of the audio folder is left out and reported; like
    // any cue left out it stays in the backup made before the next save.
    void load(CueList& cxList, AudioPlayerDelegate* delegate);

    // Hands the list to the writer and returns at once; the file is written when its content
    // changed. A failed write stands as a warning in the message log until a later save
    // succeeds.
    void saveInBackground(const CueList& cxList);
    // Same, then waits for the write (tests).
    void save(const CueList& cxList);
    // Blocks until every save handed over has reached the disk (tests, exit).
    void waitForIdle();

    // Moves the stored files that no cue needs any more to the trash, on the writer thread once
    // the list saved last is written. `inUse` names the stored files still needed (the list's,
    // and any a caller keeps for later, such as an undo history); the files of the list saved
    // last, of cues the load left out and of claimed names are always kept.
    void trashUnusedAudio(std::set<std::string> inUse);
    // A stored name an import or a duplicate is about to use, kept from the trash until the
    // cue on it is in a saved list; release once it is (or once the job failed).
    void claim(const std::string& name);
    void release(const std::string& name);

    // The last load could not read everything, and the file it read has not been backed up yet.
    bool backupPending() const { return backupPending_; }
    // The last save could not be written.
    bool savesFailing() const { return savesFailing_; }
    // How many times the list file was actually replaced.
    uint64_t filesWritten() const { return filesWritten_; }

private:
    void writeText(const std::string& text);
    bool backUpListFile(const std::string& listPath, QString* why);
    // Writer thread: keep the "not being saved" warning standing, or take it down.
    void saveFailed(const QString& why);
    void saveSucceeded();
    bool keeps(const std::set<std::string>& inUse, const std::string& name);

    std::atomic<bool> backupPending_{false};
    std::atomic<uint64_t> filesWritten_{0};
    std::atomic<bool> savesFailing_{false};
    // Shared with the writer thread.
    std::mutex namesMutex_;
    std::set<std::string> savedNames_;
    std::set<std::string> droppedNames_;
    std::map<std::string, int> claims_;
    // Last: its destructor waits for writes that use the members above.
    SaveWriter writer_;
};
