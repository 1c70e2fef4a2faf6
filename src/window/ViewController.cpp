#include "window/ViewController.h"

#include <QPalette>
#include <QPushButton>
#include <cmath>

#include "model/CXAudio.h"
#include "platform/NotificationCenter.h"
#include "widgets/CueIcons.h"
#include "window/CXTableCell.h"

namespace {
const char* const kCellIdentifiers[CueTableView::kColumnCount] = {
    "indexCell", "playCell", "nameCell", "statusCell", "lengthCell", "volumeCell", "modifyCell"};

// The text of a time below an hour, or of no time at all, written into `out` (room for 6);
// its length, or -1 from the hour on. No allocation: the scrub pass compares it with the
// shown text 25 times a second, and it changes once a second.
int shortTimeText(double seconds, char16_t* out) {
    // Not a position at all (a corrupt list value or a failed probe): show the origin rather
    // than garbage, so the column keeps its shape.
    if (!std::isfinite(seconds)) seconds = 0.0;
    // Whole seconds toward zero. Before the origin (a seek or cut below 0) the magnitude gets
    // a leading minus, "-0:05"; anything that truncates to 0 shows as "0:00", never "-0:00".
    const double whole = std::trunc(std::fabs(seconds));
    if (whole >= 3600.0) return -1;
    const int minutes = int(whole) / 60, secs = int(whole) % 60;
    int n = 0;
    if (seconds < 0.0 && whole > 0.0) out[n++] = u'-';
    if (minutes >= 10) out[n++] = char16_t(u'0' + minutes / 10);
    out[n++] = char16_t(u'0' + minutes % 10);
    out[n++] = u':';
    out[n++] = char16_t(u'0' + secs / 10);
    out[n++] = char16_t(u'0' + secs % 10);
    return n;
}
}  // namespace

ViewController::ViewController(QObject* parent)
    : ViewController(NotificationCenter::defaultCenter(), parent) {}

ViewController::ViewController(NotificationCenter& center, QObject* parent)
    : QObject(parent),
      center_(center),
      pendingWork_(new QObject(this)),
      history_({[this](const CueList& order) { showOrder(order); },
                [this](const ListHistory::CueFields& changes) { showFields(changes); }}) {
    openPool_.setMaxThreadCount(1);
}

ViewController::~ViewController() {
    // A player outliving its controller (held by a pending fade) must not call back into it.
    for (auto& cue : cxList)
        if (cue && cue->player) cue->player->setDelegate(nullptr);
    for (auto& cue : history_.heldCues())
        if (cue && cue->player) cue->player->setDelegate(nullptr);
}

void ViewController::viewDidLoad() {
    registerObservers();
    audioTable_->setUniformRowHeight(kRowHeight);
    audioTable_->registerForDraggedTypes({dragDropType});
    auto* timer = new QTimer(this);
    timer->setInterval(kScrubIntervalMs);
    connect(timer, &QTimer::timeout, this, &ViewController::timerUpdate);
    timer->start();
    scrubTimer = timer;
    patch_ = OutputPatch::saved();
    setMasterLevel(savedMasterLevel());
    loadList();
    audioTable_->setDataSource(this);
    audioTable_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(audioTable_, &QWidget::customContextMenuRequested, this, &ViewController::showRowMenu);
    // An imported show is the one the operator goes on with, once its unpacking is over.
    connect(this, &ViewController::importedShowReady, this, &ViewController::openShow,
            Qt::QueuedConnection);
    connect(audioTable_, &CueTableView::numberEditRequested, this, &ViewController::editCueNumber);
    // A show opens with its first cue standing by: the first Go plays it, rather than nothing
    // while the first row looks current.
    if (!cxList.empty()) audioTable_->selectRowIndexes({0}, false);
    // Once the window stands, so the list opens beside it rather than before it.
    if (anyMissing()) QTimer::singleShot(0, this, &ViewController::showMissingAudio);
}

void ViewController::registerObservers() {
    // The center outlives any one controller (tests build several): a handler of a controller
    // that is gone does nothing.
    QPointer<ViewController> self(this);
    auto observe = [&](const char* name, void (ViewController::*handler)()) {
        center_.addObserver(name, [self, handler] {
            if (self) (self.data()->*handler)();
        });
    };
    observe("closeWindow", &ViewController::closeWindowMenuButton);
    observe("duplicateTrack", &ViewController::duplicateTrackMenuButton);
    observe("duplicateTrackWithoutOptions", &ViewController::duplicateWithoutOptionsMenuButton);
    observe("addTrack", &ViewController::addTrackMenuButton);
    observe("removeTrack", &ViewController::removeTrackMenuButton);
    observe("saveCX", &ViewController::saveMenuButton);
    observe("moveAudioUp", &ViewController::moveAudioUpMenuButton);
    observe("moveAudioDown", &ViewController::moveAudioDownMenuButton);
    observe("volumeUp", &ViewController::volUpMenuButton);
    observe("volumeDown", &ViewController::volDownMenuButton);
    observe("editAudio", &ViewController::editAudioMenuButton);
    observe("resetCX", &ViewController::resetCX);
    observe("goCX", &ViewController::goMenuButton);
    observe("stopAllCX", &ViewController::stopAllMenuButton);
    observe("exportShow", &ViewController::exportShow);
    observe("importShow", &ViewController::importShow);
    observe("missingAudio", &ViewController::showMissingAudio);
    observe("newShow", &ViewController::newShowMenuButton);
    observe("openShow", &ViewController::openShowMenuButton);
    observe("saveShowAs", &ViewController::saveShowAsMenuButton);
}

void ViewController::loadList() {
    store_.load(cxList, this);
    syncTimeline();
    reportMissingOutputsOnceOpen();
}

void ViewController::saveList() {
    // Every change to the list is saved: the engine's plans follow it at the same moment.
    syncTimeline();
    store_.saveInBackground(cxList);
    refreshMissingAudio();
    emit missingAudioChanged(anyMissing());
    emit listChanged();
}

void ViewController::trashUnusedAudio() {
    std::set<std::string> inUse;
    for (const auto& cue : cxList) inUse.insert(cue->fileName);
    // Removed cues the history can bring back keep their stored audio.
    for (const auto& cue : history_.heldCues()) inUse.insert(cue->fileName);
    store_.trashUnusedAudio(std::move(inUse));
}

int ViewController::numberOfRowsInTableView() {
    return int(cxList.size());
}

bool ViewController::shouldSelectRow(int) {
    return true;
}

CXTableCell* ViewController::viewForTableColumn(int column, int row) {
    if (!hasRow(row) || !audioTable_) return nullptr;
    const int position = (column >= 0 && column < 6) ? column : 6;
    CXTableCell* cell = audioTable_->makeViewWithIdentifier(kCellIdentifiers[position]);
    if (!cell) return nullptr;
    const CXAudio& cue = *cxList[std::size_t(row)];

    switch (position) {
        case 0:
            showCueNumber(cell->cxIndex(), cue);
            break;
        case 1:
            if (auto* button = cell->cxPlayButton()) {
                setTag(button, row);
                // A reused cell already carries the action; set it, don't stack a second one.
                disconnect(button, &QPushButton::clicked, this, nullptr);
                connect(button, &QPushButton::clicked, this, [this, button] { playClick(button); });
                button->setEnabled(true);
                // A fade in progress shows "Stop" too: "Fading" is shown only by the cell that
                // existed when the fade started.
                const bool playing = cue.player && cue.player->isPlaying();
                showPlayButtonTitle(button, !playing                 ? QStringLiteral("Play")
                                            : cue.player->isPaused() ? QStringLiteral("Paused")
                                                                     : QStringLiteral("Stop"));
            }
            break;
        case 2:
            if (auto* title = cell->cxAudioTitle()) {
                title->setText(QString::fromStdString(cue.audioTitle));
                title->setCursorPosition(0);
                setTag(title, row);
            }
            break;
        case 3:
            CueIcons::showCue(cue, cell->cxPersistExtendIcon(), cell->cxCutIcon(),
                              cell->cxFadeIcon(), cell->cxRepeatIcon());
            showRoute(cell->cxRouteLabel(), cue);
            break;
        case 4:
            if (auto* start = cell->cxStartTime()) start->setText(formatTime(cue.startTime));
            if (auto* end = cell->cxEndTime()) end->setText(formatTime(cue.endTime));
            if (auto* slider = cell->cxLengthSlider()) {
                setTag(slider, row);
                slider->setMinValue(cue.startTime);
                slider->setMaxValue(cue.endTime);
                slider->setIntValue(0);
            }
            break;
        case 5:
            if (auto* slider = cell->cxVolumeSlider()) {
                setTag(slider, row);
                slider->setFloatValue(cue.volumeLevel);
            }
            break;
        default:
            if (auto* edit = cell->cxEditButton()) {
                setTag(edit, row);
                edit->setEnabled(true);
                edit->setText(QStringLiteral("Edit"));
            }
            break;
    }
    if (position == 1 || position == 2) showMissing(cell, position, cue);
    connectRowControls(cell);
    lockCell(cell);
    return cell;
}

void ViewController::renumberRows() {
    if (!audioTable_) return;
    for (int row = 0; hasRow(row); ++row) {
        showCueNumber(row);
        if (auto* cell = audioTable_->viewAtColumn(1, row)) setTag(cell->cxPlayButton(), row);
        if (auto* cell = audioTable_->viewAtColumn(2, row)) setTag(cell->cxAudioTitle(), row);
        if (auto* cell = audioTable_->viewAtColumn(4, row)) setTag(cell->cxLengthSlider(), row);
        if (auto* cell = audioTable_->viewAtColumn(5, row)) setTag(cell->cxVolumeSlider(), row);
        if (auto* cell = audioTable_->viewAtColumn(6, row)) setTag(cell->cxEditButton(), row);
    }
}

QString ViewController::formatTime(double seconds) {
    char16_t text[6];
    const int length = shortTimeText(seconds, text);
    if (length >= 0) return QStringView(text, length).toString();
    // A file of an hour or more shows its hours, so a 62-minute end never reads as two minutes.
    const double whole = std::trunc(std::fabs(seconds));
    const char* sign = seconds < 0.0 ? "-" : "";
    const int secs = int(std::fmod(whole, 60.0));
    const int minutes = int(std::fmod(std::trunc(whole / 60.0), 60.0));
    // Printed from the double: hours of a corrupt list value can exceed any integer.
    return QString::asprintf("%s%.0f:%02i:%02i", sign, std::trunc(whole / 3600.0), minutes, secs);
}

void ViewController::showTime(QLabel* label, double seconds) {
    char16_t text[6];
    const int length = shortTimeText(seconds, text);
    if (length < 0) {
        label->setText(formatTime(seconds));
    } else if (label->text() != QStringView(text, length)) {
        label->setText(QStringView(text, length).toString());
    }
}

void ViewController::showPlayButtonTitle(QPushButton* button, const QString& title) {
    if (!button) return;
    button->setText(title);
    // Colour by palette, not style sheet: a style sheet on the table slows every cell's paint,
    // and scrolling a long list repaints a screenful of them.
    QPalette palette;
    if (title == QLatin1String("Stop")) {
        palette.setColor(QPalette::Button, QColor(0x2e, 0xa0, 0x43));
        palette.setColor(QPalette::ButtonText, Qt::white);
    } else if (title == QLatin1String("Fading")) {
        palette.setColor(QPalette::Button, QColor(0xe8, 0xa3, 0x17));
        palette.setColor(QPalette::ButtonText, QColor(0x1b, 0x1b, 0x1b));
    } else if (title == QLatin1String("Paused")) {
        palette.setColor(QPalette::Button, QColor(0x2f, 0x6f, 0xc9));
        palette.setColor(QPalette::ButtonText, Qt::white);
    }

    button->setPalette(palette);
}

void ViewController::setPlayButtonTitle(int row, const QString& title) {
    if (!audioTable_) return;
    if (auto* cell = audioTable_->viewAtColumn(1, row))
        showPlayButtonTitle(cell->cxPlayButton(), title);
}

bool ViewController::mayQuit(QWidget* window) {
    if (!showInProgress()) return true;
    const Confirmation question{
        QStringLiteral("Quit Cuevox"),
        QStringLiteral("The show is running: cues are playing or about to start.\n"
                       "Quitting stops them at once."),
        QStringLiteral("&Quit")};
    return confirmer_ ? confirmer_(window, question) : confirmDestructive(window, question);
}
