// Nothing in the cue table changes by accident: the wheel scrolls, a click on a title selects
// its row, a cue that leaves the list or has its level changed mid-fade stays smooth, and show
// mode locks the list outright.
#include <QtTest/qtestspontaneevent.h>
#include <QLineEdit>
#include <QMimeData>
#include <QScrollBar>
#include <QWheelEvent>

#include "WindowFixture.h"
#include "app/AppDelegate.h"
#include "app/StartOptions.h"
#include "editor/AudioEditView.h"

namespace {

class AccidentalChangesTest : public WindowFixture {
protected:
    // Fades are judged against the play position here, and a sound server held up by a loaded
    // machine was seen to stall the mix for seconds. Without a server the engine keeps time on
    // its silent clock, exactly as a device would; the output itself is tested elsewhere.
    static void SetUpTestSuite() { setenv("PULSE_SERVER", "unix:/nonexistent/cuevox-test", 1); }

    void openShow(int cues, nlohmann::json options = {}, int height = 600) {
        std::vector<nlohmann::json> list;
        const std::string file = audioFile("tone.wav", 30.0);
        for (int i = 0; i < cues; ++i) {
            nlohmann::json c = cue(file, options);
            c["audioTitle"] = "Cue " + std::to_string(i);
            c["volumeLevel"] = 0.5;
            list.push_back(c);
        }
        writeList(list);
        open(1000, height);
        delegate_.connectMenu(*window_);
        delegate_.applicationDidFinishLaunching();
        window_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    }
    QLineEdit* title(int row) { return table().viewAtColumn(2, row)->cxAudioTitle(); }
    static void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
    }
    // Moves a slider as the user's drag would.
    static void slide(DoubleSlider* slider, double value) {
        const double fraction =
            (value - slider->minValue()) / (slider->maxValue() - slider->minValue());
        slider->QSlider::setValue(int(std::lround(fraction * DoubleSlider::kSteps)));
    }
    // One notch of a mouse wheel (down) at `at` in the table's viewport, delivered as the
    // window system's are (QTest's own mouse events go the same way): to the widget under the
    // pointer, marked as coming from outside.
    void wheelAt(const QPoint& at) {
        QWidget* under = table().viewport()->childAt(at);
        ASSERT_NE(under, nullptr);
        wheelOn(under, under->mapFrom(table().viewport(), at));
    }
    static void wheelOn(QWidget* under, const QPoint& local) {
        QWheelEvent wheel(QPointF(local), QPointF(under->mapToGlobal(local)), QPoint(),
                          QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QSpontaneKeyEvent::setSpontaneous(&wheel);
        qApp->notify(under, &wheel);
    }
    AppDelegate delegate_;
};

TEST_F(AccidentalChangesTest, TheWheelOverARowsSlidersScrollsTheTableAndChangesNoCue) {
    openShow(60, {}, 400);
    click(0);  // a playing cue's position slider is under the wheel too
    ASSERT_TRUE(playing(0));
    vc().listStore().waitForIdle();
    const uint64_t written = listsWritten();
    QScrollBar* scroll = table().verticalScrollBar();
    ASSERT_EQ(scroll->value(), 0);

    for (int column : {4, 5}) {
        // The pointer rests on a slider while the table scrolls under it: on the one of
        // whichever row is under it by then.
        auto sliderAt = [&](int row) {
            CXTableCell* cell = table().viewAtColumn(column, row);
            DoubleSlider* slider = column == 4 ? cell->cxLengthSlider() : cell->cxVolumeSlider();
            return slider->mapTo(table().viewport(), slider->rect().center());
        };
        QPoint at = sliderAt(1);
        int before = scroll->value();
        for (int notch = 0; notch < 3; ++notch) {
            at = sliderAt(table().rowAt(at.y()));
            ASSERT_TRUE(qobject_cast<DoubleSlider*>(table().viewport()->childAt(at)));
            wheelAt(at);
            EXPECT_GT(scroll->value(), before) << "column " << column << " notch " << notch;
            before = scroll->value();
        }
        scroll->setValue(0);
    }
    for (int row = 0; row < 60; ++row) {
        ASSERT_FLOAT_EQ(cueAt(row).volumeLevel, 0.5f) << row;
        ASSERT_FLOAT_EQ(cueAt(row).player->volume(), 0.5f) << row;
        if (row > 0) ASSERT_EQ(cueAt(row).player->currentTime(), 0.0) << row;
    }
    EXPECT_LT(cueAt(0).player->currentTime(), 5.0);  // not thrown ahead by a wheel notch
    vc().listStore().waitForIdle();
    EXPECT_EQ(listsWritten(), written);

    // Nor does it change the cue under the editor's stepper and pan slider on its way.
    cueAt(1).fadeIn = true;  // its stepper takes input
    cueAt(1).fadeInLength = 2.0;
    vc().openAudioEditor(1);
    wheelOn(vc().presentedViewController()->fadeInSeconds(), {5, 5});
    wheelOn(vc().presentedViewController()->panSlider(), {5, 5});
    EXPECT_EQ(cueAt(1).fadeInLength, 2.0);
    EXPECT_EQ(cueAt(1).panAudio, 0.0f);
}

TEST_F(AccidentalChangesTest, AClickOnATitleSelectsItsRowAndKeepsTheShowKeys) {
    openShow(4);
    table().selectRowIndexes({0}, false);
    table().setFocus();
    QTest::mouseClick(title(2), Qt::LeftButton, Qt::NoModifier, QPoint(20, 8));
    EXPECT_EQ(table().selectedRow(), 2);
    EXPECT_EQ(QApplication::focusWidget(), &table());
    press(Qt::Key_Space);
    EXPECT_TRUE(playing(2));
    EXPECT_EQ(title(2)->text(), "Cue 2");
    EXPECT_EQ(cueAt(2).audioTitle, "Cue 2");
    press(Qt::Key_Escape);
    EXPECT_FALSE(playing(2));
    vc().listStore().waitForIdle();
    const auto saved = nlohmann::json::parse(savedList());
    EXPECT_EQ(saved.at(2).at("audioTitle"), "Cue 2");
}

TEST_F(AccidentalChangesTest, TheTitleIsEditedOnlyWhenAskedFor) {
    openShow(4);
    table().selectRowIndexes({0}, false);
    table().setFocus();
    // A click on the title of the row already selected.
    QTest::mouseClick(title(0), Qt::LeftButton, Qt::NoModifier, QPoint(20, 8));
    ASSERT_EQ(QApplication::focusWidget(), title(0));
    QTest::keyClicks(title(0), "Walk in");  // the whole old title was selected
    press(Qt::Key_Return);
    EXPECT_EQ(cueAt(0).audioTitle, "Walk in");
    ASSERT_TRUE(waitFor([&] { return QApplication::focusWidget() == &table(); }, 1000));
    EXPECT_EQ(table().selectedRow(), 0) << "the Return that committed opens nothing";

    // A double click on another row's title.
    QTest::mouseDClick(title(3), Qt::LeftButton, Qt::NoModifier, QPoint(20, 8));
    EXPECT_EQ(table().selectedRow(), 3);
    EXPECT_EQ(QApplication::focusWidget(), title(3));
    table().setFocus();

    // Shift+F2 on the selected row (F2 alone opens its number).
    table().selectRowIndexes({1}, false);
    press(Qt::Key_F2, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), title(1));
    EXPECT_EQ(title(1)->selectedText(), "Cue 1");
    table().setFocus();

    // A click with a modifier extends the selection and edits nothing.
    QTest::mouseClick(title(2), Qt::LeftButton, Qt::ControlModifier, QPoint(20, 8));
    EXPECT_EQ(table().selectionModel()->selectedRows().size(), 2);
    EXPECT_EQ(QApplication::focusWidget(), &table());
    EXPECT_EQ(cueAt(3).audioTitle, "Cue 3");
}

TEST_F(AccidentalChangesTest, AVolumeChangeDuringAFadeLetsTheFadeRunOn) {
    openShow(2,
             {{"fadeIn", true}, {"fadeInLength", 2.0}, {"fadeOut", true}, {"fadeOutLength", 1.5}});
    AudioPlayer& player = *cueAt(0).player;
    // The gain after the mix has played on a little past `from` (a device may stall and then
    // catch up, so the play position, not the wall clock, says how far it went); NaN when it
    // went on too far to tell a ramp from a jump.
    auto gainAfterMixFrom = [&](double from) {
        EXPECT_TRUE(waitFor([&] { return player.currentTime() > from + 0.05; }, 10000));
        const float gain = player.currentGain();
        return player.currentTime() < from + 0.8 ? gain : std::nanf("");
    };
    click(0);
    ASSERT_TRUE(cueAt(0).fadingIn);
    QTest::qWait(400);
    slide(table().viewAtColumn(5, 0)->cxVolumeSlider(), 1.0);
    EXPECT_FLOAT_EQ(cueAt(0).volumeLevel, 1.0f);
    // Heading for the new level over what is left of the fade, not jumping to it.
    const float rising = gainAfterMixFrom(player.currentTime());
    if (!std::isnan(rising)) EXPECT_LT(rising, 0.8f);
    ASSERT_TRUE(waitFor([&] { return !cueAt(0).fadingIn; }, 4000 * testfiles::kSlowdown));
    EXPECT_TRUE(waitFor([&] { return player.currentGain() > 0.999f; }, 10000));

    // A fade-out goes on to silence, even when the level is turned up; the new level is for
    // the next start.
    slide(table().viewAtColumn(5, 0)->cxVolumeSlider(), 0.7);
    click(0);
    ASSERT_TRUE(cueAt(0).fadingOut);
    QTest::qWait(200);
    slide(table().viewAtColumn(5, 0)->cxVolumeSlider(), 1.0);
    const float falling = gainAfterMixFrom(player.currentTime());
    // Read while the fade still runs: its end resets the player to the cue's level anyway.
    // Turned up instead, it would stand at 1 by now.
    if (!std::isnan(falling) && cueAt(0).fadingOut) EXPECT_LT(falling, 0.95f);
    // The row shows the stop once the window has heard of it, and the reset that comes with it.
    EXPECT_TRUE(
        waitFor([&] { return !playing(0) && titleOf(0) == "Play"; }, 4000 * testfiles::kSlowdown));
    EXPECT_FLOAT_EQ(cueAt(0).volumeLevel, 1.0f);
    EXPECT_FLOAT_EQ(player.volume(), 1.0f);
}

TEST_F(AccidentalChangesTest, ARemovedCueStopsAtOnceAndLivesUntilItsStopTailHasPlayed) {
    openShow(3, {{"fadeIn", true}, {"fadeInLength", 1.0}});
    for (int row : {0, 1, 2}) click(row);
    ASSERT_TRUE(playing(0) && playing(1) && playing(2));
    const std::weak_ptr<CXAudio> fading = vc().cxList[1];
    table().selectRowIndexes({1}, false);
    vc().removeAudio();
    // Stopped (a stop falls to silence over a short tail), and its player kept for that tail,
    // even though its pending fade completion is the only other holder.
    {
        auto held = fading.lock();
        ASSERT_TRUE(held);
        EXPECT_FALSE(held->player->isPlaying());
        EXPECT_FALSE(held->fadingIn);
    }
    EXPECT_TRUE(playing(1)) << "the cue that moved up plays on";

    // A cue whose fade is over has no other holder but Undo: kept for its tail, then let go.
    ASSERT_TRUE(waitFor([&] { return !cueAt(1).fadingIn; }, 3000 * testfiles::kSlowdown));
    QTest::qWait(20);
    const std::weak_ptr<CXAudio> plain = vc().cxList[1];
    table().selectRowIndexes({1}, false);
    vc().removeAudio();
    {
        auto held = plain.lock();
        ASSERT_TRUE(held);
        EXPECT_FALSE(held->player->isPlaying());
    }
    // Undo holds it as long as it can bring it back; after that, only its tail does.
    vc().history().stack().clear();
    EXPECT_TRUE(waitFor([&] { return plain.expired(); }, 2000));
    EXPECT_TRUE(playing(0));
}

TEST_F(AccidentalChangesTest, ShowModeLocksTheListAndKeepsTheShowKeys) {
    EXPECT_TRUE(StartOptions::read({"cuevox", "--show-mode"}).showMode);
    EXPECT_FALSE(StartOptions::read({"cuevox"}).showMode);
    openShow(3);
    vc().openAudioEditor(1);
    auto lockKey = [&] { QTest::keyClick(window_.get(), Qt::Key_L, Qt::ControlModifier); };
    lockKey();
    EXPECT_EQ(vc().presentedViewController(), nullptr) << "the open editor closed";
    EXPECT_EQ(window_->windowTitle(), "Cuevox — Show Mode");
    const std::string before = savedList();
    auto unchanged = [&](const char* what) { EXPECT_EQ(savedList(), before) << what; };
    table().selectRowIndexes({1}, false);
    table().setFocus();
    press(Qt::Key_Delete);
    unchanged("Delete");
    QMimeData dragged;
    dragged.setData(vc().dragDropType, "0");
    // What the table's drag start and drop ask of the list.
    EXPECT_EQ(vc().pasteboardWriterForRow(0), nullptr);
    vc().acceptDrop(&dragged, 3, CueTableDataSource::DropOperation::Above);
    unchanged("a drop below the last row");
    QTest::mouseClick(title(1), Qt::LeftButton, Qt::NoModifier, QPoint(20, 8));
    QTest::keyClicks(title(1), "Walkin");
    QTest::keyClick(title(1), Qt::Key_Return);
    unchanged("title typing");
    DoubleSlider* volume = table().viewAtColumn(5, 1)->cxVolumeSlider();
    QTest::mouseClick(volume, Qt::LeftButton, Qt::NoModifier, QPoint(volume->width() - 3, 5));
    unchanged("a slider click");
    vc().editButton(table().viewAtColumn(6, 1)->cxEditButton());
    EXPECT_EQ(vc().presentedViewController(), nullptr) << "the editor does not open";
    testfiles::writeToneWav(documents_ + "/new.wav", 48000, 1.0, 440.0, 0.1f);
    vc().setFileChooser(
        [&](QWidget*) { return QStringList{QString::fromStdString(documents_ + "/new.wav")}; });
    vc().addAudio();
    unchanged("an import");

    table().setFocus();
    press(Qt::Key_Space);
    EXPECT_TRUE(playing(1));
    press(Qt::Key_Escape);
    EXPECT_FALSE(playing(1));
    lockKey();
    EXPECT_EQ(window_->windowTitle(), "Cuevox");
    press(Qt::Key_Delete);
    EXPECT_EQ(vc().cxList.size(), 2u);
}

}  // namespace
