#include "window/StandbyPanel.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <algorithm>
#include <cmath>

#include "model/CXAudio.h"
#include "window/Appearance.h"
#include "window/TimeText.h"
#include "window/ViewController.h"

namespace {
constexpr int kProgressSteps = 1000;

QLabel* makeLabel(QWidget* parent, const char* name, const QString& accessible) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setAccessibleName(accessible);
    label->setTextFormat(Qt::PlainText);
    label->setFocusPolicy(Qt::NoFocus);
    return label;
}

QFont relativeFont(double factor, bool bold) {
    QFont font = QApplication::font();
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else
        font.setPixelSize(int(std::lround(font.pixelSize() * factor)));
    font.setBold(bold);
    return font;
}

void setTextIfNew(QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
}

// The text on one line of the label's width, cut short with an ellipsis; whole while the label
// has no width yet.
QString fitted(const QLabel* label, const QString& text) {
    const int width = label->contentsRect().width();
    return width > 0 ? label->fontMetrics().elidedText(text, Qt::ElideRight, width) : text;
}

// A box of fixed height on the panel's own ground that scrolls what does not fit, by the wheel
// only: it takes no keys.
QScrollArea* scrollingBox(QWidget* parent, QWidget* content) {
    auto* area = new QScrollArea(parent);
    area->setWidget(content);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    area->setFocusPolicy(Qt::NoFocus);
    area->verticalScrollBar()->setFocusPolicy(Qt::NoFocus);
    return area;
}
}  // namespace

StandbyPanel::StandbyPanel(ViewController& controller, QWidget* parent)
    : QFrame(parent), controller_(controller) {
    setObjectName(QStringLiteral("standbyPanel"));
    setAccessibleName(tr("Standing by"));
    setFrameShape(QFrame::StyledPanel);
    setFocusPolicy(Qt::NoFocus);
    // Its own height whatever it shows: the list below takes the rest of the window.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    accent_ = new QFrame(this);
    accent_->setObjectName(QStringLiteral("standbyAccent"));
    accent_->setAutoFillBackground(true);
    number_ = makeLabel(this, "standbyNumber", tr("Next cue number"));
    title_ = makeLabel(this, "standbyTitle", tr("Next cue title"));
    title_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    notes_ = makeLabel(this, "standbyNotes", tr("Next cue notes"));
    notes_->setWordWrap(true);
    notes_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    notesArea_ = scrollingBox(this, notes_);
    length_ = makeLabel(this, "standbyLength", tr("Next cue length"));
    route_ = makeLabel(this, "standbyRoute", tr("Next cue outputs"));
    go_ = new QPushButton(tr("GO"), this);
    go_->setObjectName(QStringLiteral("standbyGo"));
    go_->setToolTip(tr("Start the cue standing by (Space)"));
    // A click fires Go and leaves the keyboard where it was, so the next Space is Go too.
    go_->setFocusPolicy(Qt::NoFocus);
    go_->setAutoDefault(false);
    go_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    connect(go_, &QPushButton::clicked, this, &StandbyPanel::goPressed);

    auto* heading = new QHBoxLayout;
    heading->setSpacing(12);
    heading->addWidget(number_, 0, Qt::AlignBaseline);
    heading->addWidget(title_, 1, Qt::AlignBaseline);
    auto* facts = new QVBoxLayout;
    facts->setSpacing(0);
    facts->addWidget(length_, 0, Qt::AlignRight);
    facts->addWidget(route_, 0, Qt::AlignRight);
    heading->addLayout(facts);
    auto* cueText = new QVBoxLayout;
    cueText->addLayout(heading);
    cueText->addWidget(notesArea_);

    auto* top = new QHBoxLayout;
    top->addWidget(accent_);
    top->addLayout(cueText, 1);
    top->addWidget(go_);

    auto* runningBox = new QWidget(this);
    running_ = new QVBoxLayout(runningBox);
    running_->setContentsMargins(0, 0, 6, 0);  // clear of the scroll bar
    running_->setSpacing(2);
    idle_ = makeLabel(runningBox, "nothingPlaying", tr("Nothing playing"));
    idle_->setEnabled(false);
    running_->addWidget(idle_);
    running_->addStretch(1);
    runningArea_ = scrollingBox(this, runningBox);
    // Side by side: the band stays as low as the cue standing by, however many cues play.
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(8, 6, 8, 6);
    outer->setSpacing(12);
    outer->addLayout(top, 3);
    outer->addWidget(runningArea_, 2, Qt::AlignTop);

    connect(&Appearance::instance(), &Appearance::changed, this, &StandbyPanel::applyFonts);
    applyFonts();
    showStandby();
}

void StandbyPanel::applyFonts() {
    // Relative to the application's font, so the text size setting scales the panel too.
    number_->setFont(relativeFont(2.2, true));
    title_->setFont(relativeFont(1.8, true));
    notes_->setFont(relativeFont(1.4, false));
    go_->setFont(relativeFont(2.0, true));
    const Appearance& look = Appearance::instance();
    accent_->setFixedWidth(look.scaled(8));
    go_->setMinimumWidth(go_->fontMetrics().horizontalAdvance(go_->text()) * 2 + look.scaled(24));
    // Each part as tall as its text can be, whatever it holds now: the panel's height follows
    // the text size and nothing else.
    for (QLabel* label : {number_, title_, length_, route_})
        label->setMinimumHeight(label->fontMetrics().height());
    notesArea_->setFixedHeight(notes_->fontMetrics().lineSpacing() * kNotesLines);
    lineHeight_ = QFontMetrics(relativeFont(1.2, true)).height() + look.scaled(6);
    runningArea_->setFixedHeight(kRunningLines * lineHeight_ +
                                 (kRunningLines - 1) * running_->spacing());
    idle_->setFixedHeight(lineHeight_);
    for (const PlayingLine& line : playing_) {
        line.number->setFont(relativeFont(1.2, true));
        line.left->setFont(relativeFont(1.2, true));
        line.box->setFixedHeight(lineHeight_);
    }
    for (QLabel* follow : follows_) follow->setFixedHeight(lineHeight_);
    fitTitle();
}

void StandbyPanel::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    fitTitle();
}

void StandbyPanel::fitTitle() {
    title_->setText(fitted(title_, fullTitle_));
}

QString StandbyPanel::numberOf(const CXAudio& cue, int row) {
    return cue.cueNumber.empty() ? QString::number(row + 1) : QString::fromStdString(cue.cueNumber);
}

void StandbyPanel::showStandby() {
    CueTableView* table = controller_.audioTable();
    const int row = table ? table->selectedRow() : -1;
    const auto& list = controller_.cxList;
    if (row < 0 || std::size_t(row) >= list.size()) {
        number_->setText(QStringLiteral("—"));
        fullTitle_ = tr("No cue selected");
        fitTitle();
        notes_->clear();
        length_->clear();
        route_->clear();
        accent_->hide();
        go_->setEnabled(false);
        return;
    }
    const CXAudio& cue = *list[std::size_t(row)];
    number_->setText(numberOf(cue, row));
    fullTitle_ = QString::fromStdString(cue.audioTitle);
    fitTitle();
    notes_->setText(QString::fromStdString(cue.notes));
    notesArea_->verticalScrollBar()->setValue(0);
    length_->setText(tr("Length %1").arg(tenthsText(std::max(cue.endTime - cue.startTime, 0.0))));
    route_->setText(
        tr("Out %1").arg(controller_.outputPatch().routeLabel(cue.outputs[0], cue.outputs[1])));
    const QColor colour(QString::fromStdString(cue.color));
    accent_->setVisible(colour.isValid());
    if (colour.isValid()) {
        QPalette palette = accent_->palette();
        palette.setColor(QPalette::Window, colour);
        accent_->setPalette(palette);
    }
    go_->setEnabled(true);
}

StandbyPanel::PlayingLine& StandbyPanel::playingLine(std::size_t index) {
    while (playing_.size() <= index) {
        PlayingLine line;
        line.box = new QWidget(this);
        line.box->setObjectName(QStringLiteral("playingCue"));
        line.number = makeLabel(line.box, "playingNumber", tr("Playing cue number"));
        line.title = makeLabel(line.box, "playingTitle", tr("Playing cue title"));
        // The number calls the cue; a long title gives way before the time left does.
        line.title->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        line.progress = new QProgressBar(line.box);
        line.progress->setObjectName(QStringLiteral("playingProgress"));
        line.progress->setRange(0, kProgressSteps);
        line.progress->setTextVisible(false);
        line.progress->setFocusPolicy(Qt::NoFocus);
        line.left = makeLabel(line.box, "playingLeft", tr("Time left"));
        line.left->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        auto* row = new QHBoxLayout(line.box);
        row->setContentsMargins(0, 0, 0, 0);
        row->addWidget(line.number);
        row->addWidget(line.title, 2);
        row->addWidget(line.progress, 3);
        row->addWidget(line.left);
        // After the idle line, before the chains.
        running_->insertWidget(1 + int(playing_.size()), line.box);
        playing_.push_back(line);
        applyFonts();
        // Wide enough for "-0:00.0" at any text size, so the column does not jump.
        line.left->setMinimumWidth(
            line.left->fontMetrics().horizontalAdvance(QStringLiteral("00:00.0")));
    }
    return playing_[index];
}

QLabel* StandbyPanel::followLine(std::size_t index) {
    while (follows_.size() <= index) {
        QLabel* label = makeLabel(this, "pendingFollow", tr("Chained start"));
        label->setFixedHeight(lineHeight_);
        running_->insertWidget(running_->count() - 1, label);  // above the stretch
        follows_.push_back(label);
    }
    return follows_[index];
}

void StandbyPanel::showPlaying() {
    const auto& list = controller_.cxList;
    std::size_t shown = 0, waiting = 0;
    for (std::size_t row = 0; row < list.size(); ++row) {
        const CXAudio& cue = *list[row];
        AudioPlayer* player = cue.player.get();
        if (!player) continue;
        if (player->isPlaying()) {
            PlayingLine& line = playingLine(shown++);
            const double position = player->currentTime();
            setTextIfNew(line.number, numberOf(cue, int(row)));
            // Cut to the width the line had at the last pass: a pass comes every few frames.
            setTextIfNew(line.title, fitted(line.title, QString::fromStdString(cue.audioTitle)));
            const double length = cue.endTime - cue.startTime;
            const double done = length > 0.0 ? (position - cue.startTime) / length : 0.0;
            line.progress->setValue(int(std::clamp(done, 0.0, 1.0) * kProgressSteps));
            setTextIfNew(line.left,
                         QLatin1Char('-') + tenthsText(ViewController::timeLeft(cue, position)));
            if (line.box->isHidden()) line.box->show();
        }
        // The chain starts the cue after this one; the countdown stands still while held.
        const double due = player->chainDueIn();
        if (due >= 0.0 && row + 1 < list.size()) {
            const CXAudio& next = *list[row + 1];
            QLabel* label = followLine(waiting++);
            setTextIfNew(label, tr("%1 in %2 — %3")
                                    .arg(numberOf(next, int(row + 1)),
                                         ViewController::formatTime(std::ceil(due)),
                                         QString::fromStdString(next.audioTitle)));
            if (label->isHidden()) label->show();
        }
    }
    for (std::size_t i = shown; i < playing_.size(); ++i) playing_[i].box->hide();
    for (std::size_t i = waiting; i < follows_.size(); ++i) follows_[i]->hide();
    idle_->setVisible(shown == 0 && waiting == 0);
}
