#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>
#include <functional>
#include <vector>

#include "app/OutputPatch.h"
#include "audio/AudioPlayer.h"
#include "model/ListFile.h"
#include "model/RowDisplay.h"
#include "storage/ListStore.h"
#include "storage/ShowArchive.h"
#include "window/ConfirmDialog.h"
#include "window/CueTableView.h"
#include "window/ListHistory.h"

class AudioEditView;
class MissingAudioWindow;
class TransferPanel;
class NotificationCenter;
class QLabel;
class QMenu;
class QMimeData;
class QPoint;
class QPushButton;

// The main window's controller. It owns the cue list for the whole run, feeds the cue table,
// hears the end of every cue's playback and runs the transport.
class ViewController : public QObject,
                       public CueTableDataSource,
                       public AudioPlayerDelegate,
                       public RowDisplay {
    Q_OBJECT
public:
    // The scrub timer's period: 25 passes a second, as often as the eye follows a moving
    // position or a meter. Nothing that must happen on time waits for it: cut ends, fades
    // and chained starts reach the rows as the engine's events.
    static constexpr int kScrubIntervalMs = 40;
    static constexpr int kRowHeight = 25;

    explicit ViewController(QObject* parent = nullptr);
    // Observers go to `center` rather than the default one, so tests can watch them.
    explicit ViewController(NotificationCenter& center, QObject* parent = nullptr);
    ~ViewController() override;

    CueTableView* audioTable() const { return audioTable_; }
    void setAudioTable(CueTableView* table) { audioTable_ = table; }

    const QString dragDropType = QStringLiteral("private.table-row");
    CueList cxList;
    QPointer<QTimer> scrubTimer;

    // Once, after the window has been built and its controls connected.
    void viewDidLoad();

    void loadList();
    // Hands the list to the background writer; returns without waiting for the disk.
    void saveList();
    // After the list lost cues: their stored files that no cue uses go to the trash.
    void trashUnusedAudio();
    ListStore& listStore() { return store_; }
    // Every change to the list is a step here; the Edit menu's Undo and Redo walk them.
    ListHistory& history() { return history_; }
    // Each closes the editor as its Save would first, so that what was being edited is a step
    // of its own, then shows and saves the list the step leaves.
    void undo();
    void redo();

    // Table.
    int numberOfRowsInTableView() override;
    CXTableCell* viewForTableColumn(int column, int row) override;
    bool shouldSelectRow(int row) override;
    void renumberRows();
    // Seconds cut toward zero, as "m:ss" below an hour and "h:mm:ss" from an hour on.
    static QString formatTime(double seconds);
    // Puts formatTime's text in the label unless it is already there.
    static void showTime(QLabel* label, double seconds);
    // What a playing cue at `position` has still to play to its cut end, passes to come
    // included.
    static double timeLeft(const CXAudio& cue, double position);

    // Transport.
    void playClick(QObject* sender);
    void startCue(int row);
    void stopCue(int row);
    void resetRowDisplay(int row) override;
    void finishCue(int row);
    void stopAllButton(QObject* sender = nullptr);
    void audioPlayerDidFinishPlaying(AudioPlayer* player, bool successfully) override;
    void audioPlayerTimeline(AudioPlayer* player, const EngineEvent& event) override;
    // Tells the engine how every cue plays by itself (cut ends, fades, chains) and where it is
    // heard, as the list stands now; only what changed is sent.
    void syncTimeline();
    void timerUpdate();

    void setPlayButtonTitle(int row, const QString& title) override;
    // Every pending fade completion and chained start is tied to this object, so a reset can
    // drop them all at once.
    QObject* rowDisplayContext() override { return pendingWork_; }

    // Menu commands, reached through the notification names.
    void closeWindowMenuButton();
    void duplicateTrackMenuButton();
    void duplicateWithoutOptionsMenuButton();
    void addTrackMenuButton();
    void removeTrackMenuButton();
    void saveMenuButton();
    void moveAudioUpMenuButton();
    void moveAudioDownMenuButton();
    void volUpMenuButton();
    void volDownMenuButton();
    void editAudioMenuButton();
    void resetCX();
    // The show keys. Go starts the selected cue as its play button would when it is stopped,
    // and ignores a second press within kGoGuardMs (a bounced or doubled key must not fire
    // two cues); Stop All is the stop-all button.
    static constexpr int kGoGuardMs = 150;
    // How long a removed cue that was playing is kept, so its stop tail plays out.
    static constexpr double kRemovedTailSeconds = 0.25;
    void goMenuButton();
    void stopAllMenuButton();
    // Ways out of a cue fired early (ViewControllerStopControls.cpp). Stop All also calls off
    // every chained start still waiting; a second Stop All within kPanicWindowMs, or while
    // cues the first one faded are still fading, is the panic.
    static constexpr int kPanicWindowMs = 1000;
    static constexpr double kDefaultFadeAllSeconds = 2.0;
    // Every cue silent within a block, on the mixer's short tail, and no chain left to start
    // one.
    void panic();
    // Every playing cue fades from its present level to silence over the Fade All time and
    // stops; no chain waits.
    void fadeAll();
    // The selected cue, or the last one started when the selected does not sound, fades out
    // now over its own fade-out length (the Fade All time when it has none).
    void fadeSelectedCue();
    void fadeCue(int row);
    // Every playing cue holds its place and every waiting chain holds with it, until Resume
    // All goes on from there. The toggle resumes when anything is paused, else pauses.
    void pauseAll();
    void resumeAll();
    void togglePauseAll();
    void pauseCue(int row);
    void resumeCue(int row);
    bool isPaused(int row) const;
    // Pause All is on (its chains held, even with no cue to pause), or some cue is paused.
    bool anyPaused() const;
    // Kept per machine: the Fade All time, and the master level in dB (the floor is silence).
    static double fadeAllSeconds();
    static void setFadeAllSeconds(double seconds);
    static constexpr double kMasterFloorDb = -60.0;
    double masterLevel() const { return masterDb_; }
    static double savedMasterLevel();
    void setMasterLevel(double dB);
    // Whether quitting now would cut the show short: a cue sounds, or a chained start waits.
    bool showInProgress() const;
    // Before the program ends: true when nothing is in progress, else when the operator says
    // to quit anyway (asked with Cancel the default).
    bool mayQuit(QWidget* window);

    // Import, duplicate and remove; the window's buttons and the menu both lead here.
    void addAudio();
    void duplicateAudio();
    void duplicateAudioWithoutOptions();
    void removeAudio();
    void addAudioButton(QObject* sender = nullptr);
    void duplicateAudioButton(QObject* sender = nullptr);
    void removeAudioButton(QObject* sender = nullptr);
    // Picks the files to import; the open panel unless replaced (tests choose without one).
    using FileChooser = std::function<QStringList(QWidget* parent)>;
    void setFileChooser(FileChooser chooser) { fileChooser_ = std::move(chooser); }
    // Answers what an import does with a file whose stored name is taken; the dialog unless
    // replaced.
    void setNameTakenQuestion(NameTakenQuestion question) { nameTaken_ = std::move(question); }
    // Answers the question asked before quitting mid-show; the dialog unless replaced.
    void setConfirmer(Confirmer confirmer) { confirmer_ = std::move(confirmer); }

    // Opens the stored file `fileName` on a worker thread, then runs `done` on the GUI thread
    // with its player, or with none and why. The results come back in the order asked for.
    using Opened = std::function<void(std::unique_ptr<AudioPlayer> player, const std::string& why)>;
    void openInBackground(const std::string& fileName, Opened done);
    // Files are being opened for cues still to come (duplicates).
    bool opening() const { return opening_ > 0; }

    // Row controls: each reads its row from the sending control's tag; a tag that names no row
    // does nothing.
    void nameUpdated(QObject* sender);
    void seekSlider(QObject* sender);
    void volumeSlider(QObject* sender);
    void editButton(QObject* sender);
    // Wires a cell's title, sliders and edit button to the actions above, once per control.
    void connectRowControls(CXTableCell* cell);

    // The cue editor, a window of its own beside the main one (the show stays playable while
    // a cue is edited), on the row's own cue. One at a time: opening it on another cue first
    // closes the open one as its Save would.
    void openAudioEditor(int row);
    // The open editor, if any.
    AudioEditView* presentedViewController() const;
    // Closes the open editor as its Save does: the field being typed in is taken, the list
    // saved and the table reloaded. Commands that change which cue the editor's row holds run
    // this first.
    void closeAudioEditor();
    // The cue on `row` was changed in place (the editor): its row, and everything showing it,
    // show it again.
    void cueChanged(int row);

    // Drag-and-drop reordering: a dragged row travels as its decimal index.
    QMimeData* pasteboardWriterForRow(int row) override;
    Qt::DropAction validateDrop(const QMimeData* info, int proposedRow,
                                DropOperation operation) override;
    bool acceptDrop(const QMimeData* info, int row, DropOperation operation) override;

    // Routing. The show's cues name outputs; this machine's patch says which device channel
    // each one plays on. The settings hand over a changed patch here: every cue follows it.
    const OutputPatch& outputPatch() const { return patch_; }
    void patchChanged(const OutputPatch& patch);
    // The cue's outputs or their levels were changed in place (the editor): its player follows
    // and its row shows them.
    void routeChanged(CXAudio& cue);
    // The selected rows' cues go to outputs `left` and `right` (the same for one output), as
    // one step, saved once.
    void routeSelected(int left, int right);
    // How many channels the output device has, and so how many outputs the menus offer.
    int deviceChannels() const;

    // Shows (ViewControllerShows.cpp). A show is a folder holding its list file and its audio
    // folder. openShow opens the one in `folder`, or the one whose cuevox.json it names (a new
    // or empty folder is a new, empty show), in place of the show in use: the editor is closed
    // as its Save would, the pending save is written, every cue stops and no chain waits, the
    // undo history is cleared, the single-instance guard moves, and the new list is loaded and
    // listed first under Open Recent. Refused in show mode, while an import or duplicate is
    // being made, and when another Cuevox runs that show: the message area says why, and the
    // show in use goes on as it was.
    void openShow(const QString& folder);
    // Copies the list file, byte for byte, and the stored audio it names (and nothing else)
    // into `folder`, which must be new or empty and outside the show in use, then opens the
    // copy. False, told in the message area, when it did not.
    bool saveShowAs(const QString& folder);
    // Open Recent's item: a folder no longer there is said so and taken off the menu.
    void openRecentShow(const QString& folder);
    // The File menu's show commands: each asks for the folder first.
    void newShowMenuButton();
    void openShowMenuButton();
    void saveShowAsMenuButton();
    // Picks a folder for those commands; the folder dialog unless replaced (tests choose
    // without one). `listToo` when a cuevox.json may be picked instead of its folder.
    using FolderChooser =
        std::function<QString(QWidget* parent, const QString& caption, bool listToo)>;
    void setFolderChooser(FolderChooser chooser) { folderChooser_ = std::move(chooser); }
    // Moves the single-instance guard to another show's list file before that show is opened;
    // false, with why, when another process runs it. None: shows open unguarded.
    using ShowGuard = std::function<bool(const QString& listFile, QString* why)>;
    void setShowGuard(ShowGuard guard) { showGuard_ = std::move(guard); }
    // Counts the shows opened, so work begun for one (a duplicate's file) lands in no other.
    unsigned showSerial() const { return showSerial_; }

    // Show mode locks the list while a show runs: every command that would change it (titles,
    // levels, order, imports, removals, undo, routes, reset) or open the editor does nothing,
    // and the rows' controls stay readable but take no input. Go, the stops, selection and
    // the remote work as ever. Turning it on first keeps what the editor or a title held.
    bool showMode() const { return showMode_; }
    void setShowMode(bool on);

    // A show as one zip archive (ViewControllerArchive.cpp): the list file as saved and the
    // stored audio its cues use. Each runs on a worker with a small progress panel; one at a
    // time. The first two ask where, the others are given it.
    void exportShow();
    void importShow();
    void exportShowTo(const QString& archive);
    void importShowInto(const QString& archive, const QString& folder);
    bool transferring() const;
    TransferPanel* transferPanel() const;

    // Cues whose stored file is missing (ViewControllerMissing.cpp). The window listing them
    // opens at load when there are any, and again from the menu.
    bool anyMissing() const;
    void showMissingAudio();
    MissingAudioWindow* missingAudioWindow() const;
    // Looks for the missing files under `folder`; each one found (by name, and by length
    // where the list gives one) is copied into the audio folder and its cues play again.
    void findMissingIn(const QString& folder);
    bool searchingMissing() const { return searching_ > 0; }

    // The play button's look follows its title, so the state of a row reads at a glance.
    static void showPlayButtonTitle(QPushButton* button, const QString& title);

    // Cue numbers and colours (ViewControllerCueNumbers.cpp). A number is the operator's: set
    // here, by a renumber or for a new cue, never by a move.
    // The cue as the operator calls it: cue 3.5 “Thunder”.
    static QString cueName(const CXAudio& cue);
    // Why the cue on `row` cannot take `number` (unfit, or another cue's); empty when it can.
    QString cueNumberRefusal(int row, const std::string& number) const;
    // The cue on `row` takes the number typed, as one step, saved. Refused with the reason in
    // the message area, the old number kept, when it is unfit or taken, or in show mode.
    bool setCueNumber(int row, const QString& text);
    // An editor over the row's number: Return commits, Escape or leaving it cancels.
    void editCueNumber(int row);
    // The selected rows' cues are numbered from `start` in `step`s as one step, saved once;
    // refused with a message when a number would be unfit or another cue's.
    bool renumberSelected(const QString& start, const QString& step);
    // Asks for Start and Step (the first selected cue's whole number, or 1, and 1), then
    // renumbers.
    void askRenumberSelected();
    // The selected rows' numbers stand on `color` ("#rrggbb", empty for none): one step, saved.
    void colourSelected(const QString& color);
    std::vector<int> selectedRows() const;

signals:
    // A change was just told in the message area, and Undo takes it back.
    void undoOffered();
    // A pass of the position display ran; `playing` when a cue sounds. The passes stop once
    // nothing plays or waits to start, the last one telling so.
    void positionsShown(bool playing);
    void showModeChanged(bool on);
    // The master level changed (in dB), from whatever set it.
    void masterLevelChanged(double dB);
    // An archive was unpacked into `folder`, a show ready to be opened.
    void importedShowReady(const QString& folder);
    // An export or import ended, `ok` when it did what it was asked.
    void transferFinished(bool ok);
    // Whether any cue's audio is missing; told after every save of the list.
    void missingAudioChanged(bool any);
    // Another show is in use (its name belongs in the title).
    void showOpened();
    // The list or a cue in it changed and was saved: what shows a cue reads it again.
    void listChanged();

private:
    bool hasRow(int row) const { return row >= 0 && std::size_t(row) < cxList.size(); }
    void cueStartedByEngine(int row, bool fadingIn);
    // A cue that has left the list stops sounding, with the tail of any stop.
    void silenceRemoved(const std::shared_ptr<CXAudio>& cue);
    // Play button "Play", time text at the cue's start, position slider at `sliderValue`.
    void showRowStopped(int row, double sliderValue);
    void registerObservers();
    void setScrubbing(bool playing);
    // Every cue silent at once, and nothing pending left to start or reset one later.
    void silenceShow();
    // A file of that name is in the audio folder or named by a cue.
    bool storedNameTaken(const QString& stored) const;
    // The name an import of `source` is stored under: `stored` itself when it is free, or when
    // the operator chose to replace the file (never while a cue on it plays); else a numbered
    // name beside it. `stop` when the operator cancelled the import.
    QString importName(const QString& source, const QString& stored, bool* stop);
    // What an undo or redo asks for: the list as these cues in this order, or one cue's stored
    // fields as they were; shown and saved, without a player being replaced.
    void showOrder(const CueList& order);
    void showFields(const ListHistory::CueFields& changes);
    void showFieldsOnRow(int row);
    // Every cue's route to its player, through this machine's patch; only changes are sent.
    void applyRoutes();
    // The row's route label, when the row has cells.
    void showRoute(int row);
    void showRoute(QLabel* label, const CXAudio& cue) const;
    // Tells the operator which cues are routed to outputs the device lacks (they play on its
    // first two channels).
    void reportMissingOutputs();
    // The same for a list just loaded, once the output device is open (or surely missing).
    void reportMissingOutputsOnceOpen();
    void showRowMenu(const QPoint& at);
    // The row menu's Renumber… and Colour, outside show mode.
    void addNumberItems(QMenu* menu);
    // The number's cell: its text, on the cue's colour in a text colour that reads on it.
    void showCueNumber(int row);
    static void showCueNumber(QLabel* label, const CXAudio& cue);
    // A title being typed into a row is taken, as leaving the field would take it.
    void takeRowEdit();
    // The row's editable controls as the mode wants them.
    void lockCell(CXTableCell* cell) const;
    // The row menu's items for the cue under it: fade it out now, pause or resume it.
    void addPlaybackItems(QMenu* menu);

    NotificationCenter& center_;
    QPointer<CueTableView> audioTable_;
    ListStore store_;

    QPointer<QObject> pendingWork_;
    FileChooser fileChooser_;
    NameTakenQuestion nameTaken_;
    Confirmer confirmer_;
    // One thread: files for new cues are opened in turn, in the order asked.
    QThreadPool openPool_;
    int opening_ = 0;
    ListHistory history_;
    // The volume slider being dragged, whose moves make one step together.
    const QObject* volumeDrag_ = nullptr;
    QElapsedTimer lastGo_;
    // An import runs an event loop while it copies; a second one must not start inside it.
    bool importing_ = false;
    OutputPatch patch_;
    bool showMode_ = false;
    // The last Stop All, and the cues whose fades it began: a second one meanwhile is a panic.
    QElapsedTimer lastStopAll_;
    std::vector<std::weak_ptr<CXAudio>> stopAllFading_;
    // The last cue started, which "fade this cue" takes when the selected one is silent.
    std::weak_ptr<CXAudio> lastStarted_;
    double masterDb_ = 0.0;
    // Pause All holds the chains even with no cue left to pause; the next toggle lets them go.
    bool pausedAll_ = false;
    // A paused cue is silent already: stopping it needs no fade (one would wait for Resume).
    void stopPaused(int row);
    // Whatever the engine's chains were held for, they go on (or were called off).
    // Every chain waiting is called off, and a Pause All that held them is over.
    void callOffChains();
    void releaseHeldFollows();
    // The switch itself, to a folder already found to be a show's; true when it was made.
    bool switchShow(const std::string& folder);
    // Why the show in use cannot be left now; empty when it can.
    QString showBusy() const;
    QString chooseFolder(const QString& caption, bool listToo);
    FolderChooser folderChooser_;
    ShowGuard showGuard_;
    unsigned showSerial_ = 0;
    // "Stop" or "Fading", as the row's run stands.
    void showRunning(int row);
    // Runs `work` on a worker with the progress panel up; `done` on the GUI thread after.
    using TransferWork = std::function<bool(showarchive::Progress*, std::string* why)>;
    void runTransfer(const QString& what, TransferWork work,
                     std::function<void(bool ok, const QString& why)> done);
    void refreshMissingAudio();
    // The row's look for a cue without its file: greyed, with a warning and why.
    void showMissing(CXTableCell* cell, int column, const CXAudio& cue) const;

    QPointer<TransferPanel> transfer_;
    QPointer<MissingAudioWindow> missingWindow_;
    int searching_ = 0;
};
