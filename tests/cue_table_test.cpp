// The cue table on a real window: start-up, cells for rows in view, fills, icons, renumbering.
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <cmath>
#include <limits>

#include "WindowFixture.h"
#include "platform/NotificationCenter.h"
#include "widgets/CueIcons.h"
#include "window/Appearance.h"
#include "window/StandbyPanel.h"

namespace {

class CueTableTest : public WindowFixture {
protected:
    SymbolImageView* icon(int row, SymbolImageView* (CXTableCell::*outlet)() const) {
        CXTableCell* cell = table().viewAtColumn(3, row);
        return cell ? (cell->*outlet)() : nullptr;
    }
    // "-1:02.5" or "0:07.3" as seconds, sign dropped.
    static double secondsOf(const QString& text) {
        const QStringList parts = QString(text).remove(QLatin1Char('-')).split(QLatin1Char(':'));
        return parts.size() == 2 ? parts[0].toDouble() * 60.0 + parts[1].toDouble() : -1.0;
    }
    void expectIcon(int row, SymbolImageView* (CXTableCell::*outlet)() const, const char* symbol,
                    bool green, const QString& description) {
        SymbolImageView* view = icon(row, outlet);
        ASSERT_NE(view, nullptr) << "row " << row;
        EXPECT_EQ(view->symbolName(), symbol) << "row " << row;
        EXPECT_EQ(view->contentTintColor(), green ? CueIcons::green() : CueIcons::gray())
            << "row " << row;
        EXPECT_EQ(view->accessibleDescription(), description) << "row " << row;
    }
};

TEST(FormatTimeTest, MinutesAndTwoDigitSecondsThenHoursFromTheHourOn) {
    EXPECT_EQ(ViewController::formatTime(0.0), "0:00");
    EXPECT_EQ(ViewController::formatTime(5.4), "0:05");
    EXPECT_EQ(ViewController::formatTime(59.9), "0:59");
    EXPECT_EQ(ViewController::formatTime(187.0), "3:07");
    EXPECT_EQ(ViewController::formatTime(3599.9), "59:59");
    EXPECT_EQ(ViewController::formatTime(3600.0), "1:00:00");
    EXPECT_EQ(ViewController::formatTime(3725.0), "1:02:05");
    EXPECT_EQ(ViewController::formatTime(-3725.5), "-1:02:05");
    EXPECT_EQ(ViewController::formatTime(10.0 * 3600 + 59 * 60 + 9), "10:59:09");
    EXPECT_EQ(ViewController::formatTime(3600.0 * 1e9 + 65.0), "1000000000:01:05");
}

TEST(FormatTimeTest, NegativeAndNonFiniteTimes) {
    EXPECT_EQ(ViewController::formatTime(-5.4), "-0:05");
    EXPECT_EQ(ViewController::formatTime(-187.9), "-3:07");
    EXPECT_EQ(ViewController::formatTime(-0.4), "0:00");
    EXPECT_EQ(ViewController::formatTime(-0.0), "0:00");
    EXPECT_EQ(ViewController::formatTime(std::numeric_limits<double>::quiet_NaN()), "0:00");
    EXPECT_EQ(ViewController::formatTime(std::numeric_limits<double>::infinity()), "0:00");
    EXPECT_EQ(ViewController::formatTime(-std::numeric_limits<double>::infinity()), "0:00");
}

TEST_F(CueTableTest, StartUpRegistersObserversTableAndTimerThenLoads) {
    const std::string f = audioFile("tone.wav", 1.0);
    writeList({cue(f), cue(f)});
    NotificationCenter center;
    CueTableView table;
    table.resize(800, 300);
    table.show();
    ViewController controller(center);
    controller.setAudioTable(&table);
    controller.viewDidLoad();

    const std::vector<std::string> expected = {
        "closeWindow", "duplicateTrack", "duplicateTrackWithoutOptions",
        "addTrack",    "removeTrack",    "saveCX",
        "moveAudioUp", "moveAudioDown",  "volumeUp",
        "volumeDown",  "editAudio",      "resetCX",
        "goCX",        "stopAllCX",      "exportShow",
        "importShow",  "missingAudio",   "newShow",
        "openShow",    "saveShowAs"};
    EXPECT_EQ(center.observedNames(), expected);
    EXPECT_EQ(table.uniformRowHeight(), 25);
    EXPECT_EQ(table.rowHeight(1), 25);
    EXPECT_EQ(table.registeredDraggedTypes(), QStringList{"private.table-row"});
    ASSERT_TRUE(controller.scrubTimer);
    EXPECT_TRUE(controller.scrubTimer->isActive());
    EXPECT_EQ(controller.scrubTimer->interval(), 40);
    ASSERT_EQ(controller.cxList.size(), 2u);
    EXPECT_EQ(controller.cxList[0]->player->delegate(), &controller);
    EXPECT_EQ(table.numberOfRows(), 2);

    // A post from anywhere reaches the controller: "saveCX" rewrites the list in its own form.
    center.post("saveCX");
    controller.listStore().waitForIdle();
    const std::string text = testfiles::readAll(documents_ + "/cuevox.json");
    EXPECT_EQ(text.front(), '[');
    EXPECT_NE(text.find("\"volumeLevel\""), std::string::npos);
}

TEST_F(CueTableTest, CellsAreFilledFromTheirCue) {
    const std::string f = audioFile("long.wav", 201.0);
    writeList({cue(f, {{"audioTitle", "Walk In"},
                       {"startTime", 12.5},
                       {"endTime", 200.0},
                       {"volumeLevel", 0.25}})});
    open();

    CXTableCell* index = table().viewAtColumn(0, 0);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->cxIndex()->text(), "1");
    EXPECT_EQ(index->cxPlayButton(), nullptr) << "a cell connects only its column's outlets";

    QPushButton* play = playButton(0);
    EXPECT_EQ(play->text(), "Play");
    EXPECT_EQ(tagOf(play), 0);
    EXPECT_TRUE(play->isEnabled());

    CXTableCell* name = table().viewAtColumn(2, 0);
    EXPECT_EQ(name->cxAudioTitle()->text(), "Walk In");

    CXTableCell* length = table().viewAtColumn(4, 0);
    EXPECT_EQ(length->cxStartTime()->text(), "0:12");
    EXPECT_EQ(length->cxEndTime()->text(), "3:20");
    EXPECT_EQ(length->cxLengthSlider()->minValue(), 12.5);
    EXPECT_EQ(length->cxLengthSlider()->maxValue(), 200.0);
    EXPECT_EQ(length->cxLengthSlider()->doubleValue(), 0.0);
    EXPECT_EQ(length->cxLengthSlider()->value(), 0) << "a value below the range shows at its start";

    CXTableCell* volume = table().viewAtColumn(5, 0);
    EXPECT_FLOAT_EQ(volume->cxVolumeSlider()->floatValue(), 0.25f);
    CXTableCell* edit = table().viewAtColumn(6, 0);
    EXPECT_EQ(edit->cxEditButton()->text(), "Edit");
    EXPECT_EQ(tagOf(edit->cxEditButton()), 0);
}

TEST_F(CueTableTest, IconRules) {
    const std::string f = audioFile("tone.wav", 2.0);
    writeList({
        cue(f, {{"persistThrough", true}, {"extendPlay", true}}),
        cue(f, {{"persistThrough", true}, {"fadeIn", true}, {"fadeOut", true}}),
        cue(f, {{"extendPlay", true}, {"fadeIn", true}, {"repeatCount", 3}}),
        cue(f, {{"fadeOut", true}, {"repeatCount", -1}, {"endTime", 1.5}}),
        cue(f, {{"startTime", 0.5}}),
        cue(f),
    });
    open();

    using C = CXTableCell;
    const QString pe = "Persist/Extend Icon", cut = "Cut Icon", fade = "Fade In and Out Icon",
                  rep = "Repeat Icon";
    expectIcon(0, &C::cxPersistExtendIcon, "arrow.down.circle.fill", true, pe);
    expectIcon(1, &C::cxPersistExtendIcon, "arrow.down", true, pe);
    expectIcon(2, &C::cxPersistExtendIcon, "arrow.down.circle", true, pe);
    expectIcon(5, &C::cxPersistExtendIcon, "arrow.down", false, pe);

    expectIcon(1, &C::cxFadeIcon, "sun.max", true, fade);
    expectIcon(2, &C::cxFadeIcon, "sunrise", true, fade);
    expectIcon(3, &C::cxFadeIcon, "sunset", true, fade);
    expectIcon(5, &C::cxFadeIcon, "sunrise", false, fade);

    expectIcon(2, &C::cxRepeatIcon, "repeat", true, rep);
    expectIcon(3, &C::cxRepeatIcon, "repeat.1", true, rep);
    expectIcon(5, &C::cxRepeatIcon, "repeat", false, rep);

    // The end compares exactly with the file's duration; a start above 0 is a cut by itself.
    expectIcon(3, &C::cxCutIcon, "scissors", true, cut);
    expectIcon(4, &C::cxCutIcon, "scissors", true, cut);
    expectIcon(5, &C::cxCutIcon, "scissors", false, cut);

    for (const char* symbol : {"arrow.down.circle.fill", "arrow.down", "arrow.down.circle",
                               "scissors", "sun.max", "sunrise", "sunset", "repeat", "repeat.1"})
        EXPECT_TRUE(SymbolImageView::hasSymbol(symbol)) << symbol;
}

TEST_F(CueTableTest, RenumberRowsAfterARemoval) {
    const std::string f = audioFile("tone.wav", 2.0);
    writeList({cue(f, {{"audioTitle", "A"}}), cue(f, {{"audioTitle", "B"}}),
               cue(f, {{"audioTitle", "C"}})});
    open();
    QPointer<QPushButton> bButton = playButton(1);

    vc().cxList.erase(vc().cxList.begin());
    table().removeRowsAtIndexes({0});
    vc().renumberRows();

    ASSERT_EQ(table().numberOfRows(), 2);
    // The numbers are the cues' own and move up with them.
    EXPECT_EQ(table().viewAtColumn(0, 0)->cxIndex()->text(), "2");
    EXPECT_EQ(table().viewAtColumn(0, 1)->cxIndex()->text(), "3");
    // The cells moved up with their rows and carry the new row as their tag.
    EXPECT_EQ(playButton(0), bButton.data());
    for (int row = 0; row < 2; ++row) {
        EXPECT_EQ(tagOf(playButton(row)), row);
        EXPECT_EQ(tagOf(table().viewAtColumn(2, row)->cxAudioTitle()), row);
        EXPECT_EQ(tagOf(table().viewAtColumn(4, row)->cxLengthSlider()), row);
        EXPECT_EQ(tagOf(table().viewAtColumn(5, row)->cxVolumeSlider()), row);
        EXPECT_EQ(tagOf(table().viewAtColumn(6, row)->cxEditButton()), row);
    }
    EXPECT_EQ(table().viewAtColumn(2, 0)->cxAudioTitle()->text(), "B");
    // A click acts on the cue the row shows now.
    click(0);
    EXPECT_EQ(vc().cxList[0]->audioTitle, "B");
    EXPECT_TRUE(playing(0));
    EXPECT_FALSE(playing(1));
}

TEST_F(CueTableTest, EmptyListHasNoRows) {
    open();
    EXPECT_EQ(vc().numberOfRowsInTableView(), 0);
    EXPECT_EQ(table().numberOfRows(), 0);
    vc().renumberRows();
    vc().timerUpdate();
    EXPECT_EQ(table().liveCellCount(), 0);
}

TEST_F(CueTableTest, APlayingPositionOnScreenIsTheExactPositionToThePixel) {
    // The position slider redraws only when its handle moves by a pixel. What the window shows
    // after every pass must still be what a slider set exactly to that position shows, and the
    // operator's key moves on from the exact position, not from the last pixel drawn.
    const std::string f = audioFile("tone.wav", 1.0);
    writeList({cue(f, {{"endTime", 1000.0}})});
    open();
    DoubleSlider* slider = table().viewAtColumn(4, 0)->cxLengthSlider();
    ASSERT_NE(slider, nullptr);
    const QRect area(slider->mapTo(window_.get(), QPoint(0, 0)), slider->size());
    auto onScreen = [&] {
        QTest::qWait(0);  // the posted repaint, as the event loop would run it
        return window_->screen()
            ->grabWindow(window_->winId(), area.x(), area.y(), area.width(), area.height())
            .toImage();
    };
    auto exactly = [&](double value) {
        slider->setDoubleValue(value);
        slider->repaint();
        return onScreen();
    };

    const QImage start = exactly(0.0);
    int moves = 0;
    QImage shown = start;
    // A 1000 s cue across a slider of a few hundred pixels: several passes to each pixel.
    for (double position = 0.0; position < 20.0; position += 0.37) {
        slider->followValue(position);
        EXPECT_EQ(slider->doubleValue(), position);
        const QImage followed = onScreen();
        ASSERT_EQ(followed, exactly(position)) << "handle off its pixel at " << position << " s";
        if (followed != shown) ++moves;
        shown = followed;
    }
    EXPECT_GT(moves, 0) << "the handle never moved: the test saw nothing";
    EXPECT_NE(shown, start);

    slider->followValue(500.0);
    slider->followValue(500.5);  // the same pixel: QSlider's own step stays behind
    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_DOUBLE_EQ(slider->doubleValue(), 510.5) << "a key steps on from the exact value";
}

TEST_F(CueTableTest, TheStandbyPanelShowsTheNextCueAndPlayingCuesCountDown) {
    writeList({cue(audioFile("ten.wav", 10.0), {{"cueNumber", "12A"},
                                                {"notes", "Wait for the door\nthen go\nslowly"},
                                                {"color", "#c03030"},
                                                {"extendPlay", true},
                                                {"extendDelay", 4.0}}),
               cue(audioFile("door.wav", 2.0), {{"cueNumber", "12B"}, {"audioTitle", "Door"}})});
    open();
    StandbyPanel& panel = *window_->standbyPanel();
    EXPECT_EQ(panel.numberLabel()->text(), "12A");
    EXPECT_EQ(panel.titleLabel()->text(), "ten.wav");
    EXPECT_EQ(panel.notesLabel()->text(), "Wait for the door\nthen go\nslowly");
    EXPECT_EQ(panel.lengthLabel()->text(), "Length 0:10.0");
    for (QWidget* part : panel.findChildren<QWidget*>())
        EXPECT_EQ(part->focusPolicy(), Qt::NoFocus) << part->objectName().toStdString();
    // Nothing the panel shows moves the list: a click aimed at a row lands on it.
    // The panel follows a change at once, the table's header and cells a turn later.
    auto rowY = [&] {
        vc().timerUpdate();
        QApplication::processEvents();
        QApplication::processEvents();
        return playButton(1)->mapToGlobal(QPoint()).y();
    };
    int rowAt = rowY();

    click(0);
    ASSERT_TRUE(playing(0));
    table().selectRowIndexes({1}, false);
    EXPECT_EQ(panel.titleLabel()->text(), "Door");
    EXPECT_TRUE(panel.notesLabel()->text().isEmpty());
    EXPECT_EQ(rowY(), rowAt) << "a cue plays, one without notes stands by";

    Appearance::instance().setRowsShowTimeLeft(true);
    QTest::qWait(1200);
    vc().timerUpdate();
    const double left = 10.0 - cueAt(0).player->currentTime();
    ASSERT_FALSE(panel.playingLines().empty());
    const StandbyPanel::PlayingLine& line = panel.playingLines().front();
    EXPECT_FALSE(line.box->isHidden());
    EXPECT_EQ(line.number->text(), "12A");
    EXPECT_NEAR(secondsOf(line.left->text()), left, 0.1) << line.left->text().toStdString();
    EXPECT_TRUE(startTextOf(0).startsWith('-'));
    EXPECT_NEAR(secondsOf(startTextOf(0)), left, 0.1) << startTextOf(0).toStdString();
    ASSERT_FALSE(panel.followLines().empty());
    // Counted on the engine's time, which stands still while a sound server is slow to start
    // the stream: a whole second rounded up from what is left.
    const QString follow = panel.followLines().front()->text();
    const auto in = QRegularExpression("^12B in 0:(\\d\\d) — Door$").match(follow);
    ASSERT_TRUE(in.hasMatch()) << follow.toStdString();
    const double due = 4.0 - cueAt(0).player->currentTime();
    EXPECT_GE(in.captured(1).toInt(), due - 0.05) << follow.toStdString();
    EXPECT_LT(in.captured(1).toInt(), due + 1.05) << follow.toStdString();
    EXPECT_EQ(rowY(), rowAt) << "a chain waits";
    Appearance::instance().setRowsShowTimeLeft(false);
    vc().timerUpdate();
    EXPECT_FALSE(startTextOf(0).startsWith('-'));

    Appearance::instance().setTextPercent(200);
    rowAt = rowY();
    click(1);
    EXPECT_EQ(rowY(), rowAt) << "200 %: two cues play";
    table().selectRowIndexes({0}, false);
    EXPECT_EQ(rowY(), rowAt) << "200 %: notes stand by";
    click(0);
    click(1);
    EXPECT_EQ(rowY(), rowAt) << "200 %: nothing plays";
    Appearance::instance().setTextPercent(100);
}

TEST_F(CueTableTest, RowOutOfViewIsSkippedAndRebuiltFromItsCue) {
    const std::string f = audioFile("tone.wav", 5.0);
    std::vector<nlohmann::json> cues(60, cue(f));
    writeList(cues);
    open(900, 300);

    const int visibleRows = table().viewport()->height() / 25 + 1;
    EXPECT_LE(table().liveCellCount(), (visibleRows + 1) * 7) << "cells only for rows in view";
    EXPECT_EQ(table().viewAtColumn(1, 59), nullptr);

    click(0);
    click(1);
    table().scrollToBottom();
    EXPECT_EQ(table().viewAtColumn(1, 0), nullptr);
    EXPECT_NE(table().viewAtColumn(1, 59), nullptr);
    EXPECT_LE(table().liveCellCount(), (visibleRows + 1) * 7);

    // Out of view: the timer and the transport skip the missing cells and carry on.
    vc().stopCue(1);
    EXPECT_FALSE(playing(1));
    vc().startCue(2);
    QTest::qWait(50);

    table().scrollToTop();
    EXPECT_EQ(titleOf(0), "Stop");
    EXPECT_EQ(titleOf(1), "Play");
    EXPECT_EQ(titleOf(2), "Stop");
    EXPECT_EQ(table().viewAtColumn(0, 2)->cxIndex()->text(), "3");
    EXPECT_EQ(tagOf(playButton(2)), 2);
    // The rebuilt row follows the timer again.
    ASSERT_TRUE(waitFor([&] { return positionSliderOf(0) > 0.0; }, 1000));
}

}  // namespace
