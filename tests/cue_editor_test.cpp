// The cue editor on a real window and real files: filling, every action, the cut rules with
// their range checks, the waveform and its markers, and how the editor opens and closes.
#include <atomic>
#include <cmath>

#include "WindowFixture.h"
#include "editor/AudioEditView.h"
#include "editor/WaveformPeaks.h"
#include "platform/NotificationCenter.h"
#include "widgets/CueIcons.h"

namespace {

class CueEditorTest : public WindowFixture {
protected:
    // A mono file of exactly 200.7 s at 8 kHz: the whole-second end is 200, the exact one not.
    std::string longFile() {
        testfiles::writeToneWav(documents_ + "/audio/long.wav", 8000, 200.7, 440.0, 0.1f, 1);
        return "long.wav";
    }

    AudioEditView* openEditor(int row) {
        CXTableCell* cell = table().viewAtColumn(6, row);
        if (!cell || !cell->cxEditButton()) return nullptr;
        cell->cxEditButton()->click();
        return vc().presentedViewController();
    }

    static void type(QLineEdit* field, const QString& text) {
        field->setText(text);
        emit field->editingFinished();
    }
    static QString fields(QLineEdit* minutes, QLineEdit* seconds) {
        return minutes->text() + ":" + seconds->text();
    }
    static void expectIcon(SymbolImageView* icon, const char* symbol, bool green) {
        EXPECT_EQ(icon->symbolName(), symbol);
        EXPECT_EQ(icon->contentTintColor(), CueIcons::tint(green)) << symbol;
    }
    nlohmann::json savedCue(int row) {
        vc().listStore().waitForIdle();
        return nlohmann::json::parse(savedList())[row];
    }
};

TEST_F(CueEditorTest, OpensAsAWindowOfItsOwnOnTheRowsOwnCueFromButtonAndMenu) {
    const std::string f = audioFile("a.wav", 1.0);
    writeList({cue(f, {{"audioTitle", "First"}}), cue(f, {{"audioTitle", "Second"}})});
    open();

    AudioEditView* editor = openEditor(1);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->audioFile.get(), &cueAt(1));
    EXPECT_EQ(editor->cxIndex, 1);
    EXPECT_EQ(editor->windowModality(), Qt::NonModal);
    EXPECT_TRUE(editor->isWindow());
    EXPECT_EQ(editor->parentWidget(), window_.get());
    EXPECT_EQ(editor->audioTitle()->text(), "Second");
    // The cue's number, by the list's rules, and its notes, a burst of typing one step.
    EXPECT_EQ(editor->windowTitle(), "Edit Cue 2");
    type(editor->cueNumberField(), "1");
    EXPECT_EQ(editor->cueNumberField()->text(), "2") << "1 is the first cue's";
    type(editor->cueNumberField(), "2.5");
    EXPECT_EQ(table().viewAtColumn(0, 1)->cxIndex()->text(), "2.5");
    editor->notesField()->setFocus();
    QTest::keyClicks(editor->notesField(), "Mic 3 on");
    EXPECT_EQ(cueAt(1).notes, "Mic 3 on");
    vc().undo();
    EXPECT_EQ(cueAt(1).notes, "");
    EXPECT_EQ(cueAt(1).cueNumber, "2.5");
    ASSERT_EQ(vc().presentedViewController(), nullptr) << "undo closed it as its Save would";
    editor = openEditor(1);
    QPointer<AudioEditView> first(editor);
    editor->dismissController();
    EXPECT_TRUE(waitFor([&] { return first.isNull(); }, 2000));

    // The menu command opens on the selected row, and on none when nothing is selected.
    selectNothing();
    NotificationCenter::defaultCenter().post("editAudio");
    EXPECT_EQ(vc().presentedViewController(), nullptr);
    table().selectRowIndexes({0}, false);
    NotificationCenter::defaultCenter().post("editAudio");
    ASSERT_NE(vc().presentedViewController(), nullptr);
    EXPECT_EQ(vc().presentedViewController()->audioFile.get(), &cueAt(0));
}

TEST_F(CueEditorTest, RepeatStatesAndStepper) {
    const std::string f = audioFile("a.wav", 1.0);
    writeList({cue(f, {{"repeatCount", -1}}), cue(f, {{"repeatCount", 0}})});
    open();

    AudioEditView* infinite = openEditor(0);
    ASSERT_NE(infinite, nullptr);
    EXPECT_TRUE(infinite->repeatButton()->isChecked());
    EXPECT_EQ(infinite->repeatCount()->value(), 0);
    EXPECT_EQ(infinite->repeatCountText()->text(), "Infinite");
    EXPECT_TRUE(infinite->repeatCountText()->isEnabled());
    expectIcon(infinite->repeatIcon(), "repeat.1", true);
    infinite->dismissController();

    AudioEditView* editor = openEditor(1);
    ASSERT_NE(editor, nullptr);
    CXAudio& c = cueAt(1);
    EXPECT_FALSE(editor->repeatButton()->isChecked());
    EXPECT_EQ(editor->repeatCountText()->text(), "0");
    EXPECT_FALSE(editor->repeatCountText()->isEnabled());
    EXPECT_FALSE(editor->repeatCount()->isEnabled());
    EXPECT_FALSE(editor->repeatInfoText()->isEnabled());
    expectIcon(editor->repeatIcon(), "repeat", false);

    editor->repeatButton()->click();
    EXPECT_EQ(c.repeatCount, -1);
    EXPECT_EQ(c.player->numberOfLoops(), -1);
    EXPECT_EQ(editor->repeatCountText()->text(), "Infinite");
    EXPECT_TRUE(editor->repeatCount()->isEnabled());
    expectIcon(editor->repeatIcon(), "repeat.1", true);

    // Stepping up to 1 and back to 0: 0 is "Infinite".
    editor->repeatCount()->stepUp();
    EXPECT_EQ(c.repeatCount, 1);
    EXPECT_EQ(c.player->numberOfLoops(), 1);
    EXPECT_EQ(editor->repeatCountText()->text(), "1");
    expectIcon(editor->repeatIcon(), "repeat", true);
    editor->repeatCount()->stepDown();
    EXPECT_EQ(c.repeatCount, -1);
    EXPECT_EQ(c.player->numberOfLoops(), -1);
    EXPECT_EQ(editor->repeatCountText()->text(), "Infinite");

    editor->repeatButton()->click();
    EXPECT_EQ(c.repeatCount, 0);
    EXPECT_EQ(c.player->numberOfLoops(), 0);
    EXPECT_EQ(editor->repeatCountText()->text(), "Infinite");
    EXPECT_FALSE(editor->repeatCountText()->isEnabled());
    expectIcon(editor->repeatIcon(), "repeat", false);
}

TEST_F(CueEditorTest, CutFieldsFollowTheWholeSecondRules) {
    const std::string f = longFile();
    writeList({cue(f)});
    open();
    CXAudio& c = cueAt(0);
    const double duration = c.player->duration();
    ASSERT_NEAR(duration, 200.7, 1e-9);
    AudioEditView* editor = openEditor(0);
    ASSERT_NE(editor, nullptr);
    QLineEdit *startMin = editor->startMin(), *startSec = editor->startSec();
    QLineEdit *endMin = editor->endMin(), *endSec = editor->endSec();

    EXPECT_EQ(fields(startMin, startSec), "0:0");
    EXPECT_EQ(fields(endMin, endSec), "3:20");
    EXPECT_EQ(editor->cutIcon()->contentTintColor(), CueIcons::gray());
    EXPECT_EQ(editor->cutIcon()->symbolName(), "scissors");

    // Entering the whole-second end again keeps the exact end: still uncut.
    type(endSec, "20");
    EXPECT_EQ(c.endTime, duration);
    EXPECT_EQ(editor->cutIcon()->contentTintColor(), CueIcons::gray());

    type(endSec, "21");  // 201 s lies beyond the file
    EXPECT_EQ(fields(endMin, endSec), "3:20");
    EXPECT_EQ(c.endTime, duration);

    type(endSec, "19");
    EXPECT_EQ(c.endTime, 199.0);
    EXPECT_EQ(editor->cutIcon()->contentTintColor(), CueIcons::green());

    // A negative start is refused; the end in the same pass is still taken.
    startSec->setText("-5");
    type(endSec, "10");
    EXPECT_EQ(c.startTime, 0.0);
    EXPECT_EQ(fields(startMin, startSec), "0:0");
    EXPECT_EQ(c.endTime, 190.0);

    // A start is not held to the end or the file; text that is no number reads as 0.
    type(startMin, "4");
    EXPECT_EQ(c.startTime, 240.0);
    type(startMin, "none");
    EXPECT_EQ(c.startTime, 0.0);
    type(startMin, " 2min");
    EXPECT_EQ(c.startTime, 120.0);

    editor->resetCut()->click();
    EXPECT_EQ(c.startTime, 0.0);
    EXPECT_EQ(c.endTime, duration);
    EXPECT_EQ(fields(startMin, startSec), "0:0");
    EXPECT_EQ(fields(endMin, endSec), "3:20");
    EXPECT_EQ(editor->cutIcon()->contentTintColor(), CueIcons::gray());
}

TEST_F(CueEditorTest, CutTotalsOutsideThirtyTwoBitsAreRefused) {
    const std::string f = longFile();
    writeList({cue(f, {{"startTime", 3725.0}})});
    open();
    CXAudio& c = cueAt(0);
    AudioEditView* editor = openEditor(0);
    ASSERT_NE(editor, nullptr);
    QLineEdit *startMin = editor->startMin(), *startSec = editor->startSec();
    // Whole hours show as minutes.
    EXPECT_EQ(fields(startMin, startSec), "62:5");

    // 35791394 × 60 + 7 is the largest 32-bit count; one more does not fit.
    startMin->setText("35791394");
    type(startSec, "7");
    EXPECT_EQ(c.startTime, 2147483647.0);
    type(startSec, "8");
    EXPECT_EQ(c.startTime, 2147483647.0);
    EXPECT_EQ(fields(startMin, startSec), "35791394:7");  // set back from the kept start

    // Digits beyond 64 bits, and products that overflow them, are refused the same way.
    type(startMin, "99999999999999999999999");
    EXPECT_EQ(c.startTime, 2147483647.0);
    type(startMin, "153722867280912931");
    EXPECT_EQ(c.startTime, 2147483647.0);
    type(startMin, "-35791395");
    EXPECT_EQ(c.startTime, 2147483647.0);
    editor->endMin()->setText("-35791395");
    type(editor->endSec(), "0");
    EXPECT_EQ(c.endTime, c.player->duration());
    EXPECT_EQ(fields(editor->endMin(), editor->endSec()), "3:20");
}

TEST_F(CueEditorTest, TogglesSteppersIconsAndPan) {
    const std::string f = audioFile("a.wav", 3.0);
    writeList({cue(f, {{"fadeInLength", 2.5}, {"persistThrough", true}, {"extendPlay", true}})});
    open();
    CXAudio& c = cueAt(0);
    const nlohmann::json original = c.toJSON();
    AudioEditView* editor = openEditor(0);
    ASSERT_NE(editor, nullptr);

    EXPECT_FALSE(editor->fadeInButton()->isChecked());
    EXPECT_FALSE(editor->fadeInSeconds()->isEnabled());
    EXPECT_EQ(editor->fadeInSecondsText()->text(), "2.5");
    expectIcon(editor->fadeIcon(), "sunrise", false);
    EXPECT_EQ(editor->fadeIcon()->accessibleDescription(), "Fade In and Out Icon");
    expectIcon(editor->persistExtendIcon(), "arrow.down.circle.fill", true);

    editor->persistButton()->click();
    EXPECT_FALSE(c.persistThrough);
    EXPECT_TRUE(c.extendPlay);
    EXPECT_FALSE(editor->persistDelay()->isEnabled());
    expectIcon(editor->persistExtendIcon(), "arrow.down.circle", true);
    editor->extendButton()->click();
    expectIcon(editor->persistExtendIcon(), "arrow.down", false);

    editor->fadeInButton()->click();
    EXPECT_TRUE(c.fadeIn);
    EXPECT_TRUE(editor->fadeInInfoText()->isEnabled());
    EXPECT_EQ(editor->fadeInSeconds()->value(), 2.5);
    expectIcon(editor->fadeIcon(), "sunrise", true);
    editor->fadeOutButton()->click();
    expectIcon(editor->fadeIcon(), "sun.max", true);
    editor->fadeInButton()->click();
    expectIcon(editor->fadeIcon(), "sunset", true);
    EXPECT_EQ(c.fadeInLength, 2.5);

    editor->fadeOutSeconds()->setValue(0.0);
    editor->fadeOutSeconds()->stepUp();
    EXPECT_EQ(c.fadeOutLength, 0.5);
    EXPECT_EQ(editor->fadeOutSecondsText()->text(), "0.5");
    editor->extendDelay()->setValue(4.0);
    EXPECT_EQ(c.extendDelay, 4.0);
    EXPECT_EQ(editor->extendDelayText()->text(), "4");

    editor->selectNextButton()->click();
    EXPECT_TRUE(c.moveSelection);

    // The pan reaches the player at once; the list file only with a save.
    editor->panSlider()->QSlider::setValue(DoubleSlider::kSteps / 4);
    EXPECT_FLOAT_EQ(c.panAudio, -0.5f);
    EXPECT_FLOAT_EQ(c.player->pan(), -0.5f);
    EXPECT_FLOAT_EQ(savedCue(0).value("panAudio", 0.0f), 0.0f);
    // So does the route, and the row shows it.
    editor->rightOutput()->setValue(5);
    editor->leftLevel()->setValue(-6.0);
    EXPECT_EQ(c.outputs, (cueroute::Outputs{1, 5}));
    EXPECT_EQ(c.outputLevels, (cueroute::Levels{-6.0, 0.0}));
    EXPECT_EQ(table().viewAtColumn(3, 0)->cxRouteLabel()->text(), "1-5");

    // Each change is a step of its own, typing in the title and a stepper's run one each; Undo
    // closes the editor and walks them back with the list file, Redo brings them all again.
    editor->repeatButton()->click();
    QTest::keyClicks(editor->audioTitle(), "xy");
    type(editor->startSec(), "1");
    const nlohmann::json edited = c.toJSON();
    QAction* undo = window_->findChild<QAction*>("actionUndo");
    QAction* redo = window_->findChild<QAction*>("actionRedo");
    ASSERT_TRUE(undo && redo);
    QStringList names;
    while (undo->isEnabled()) {
        names << undo->text().remove('&').remove("Undo ");
        undo->trigger();
    }
    EXPECT_EQ(names.join(", "),
              "Cut, Rename, Repeat, Output Level, Route, Pan, Select Next, Extend, Fade Out, Fade "
              "In, Fade Out, Fade In, Extend, Persist");
    EXPECT_EQ(vc().presentedViewController(), nullptr);
    EXPECT_EQ(c.toJSON(), original);
    EXPECT_EQ(savedCue(0), original);
    EXPECT_EQ(c.player->pan(), 0.0f);
    while (redo->isEnabled()) redo->trigger();
    EXPECT_EQ(c.toJSON(), edited);
    EXPECT_EQ(savedCue(0), edited);
}

TEST_F(CueEditorTest, SaveCloseWindowAndCloseBoxSaveReloadAndClose) {
    const std::string f = audioFile("a.wav", 1.0);
    writeList({cue(f, {{"audioTitle", "Old"}})});
    open();
    auto shownTitle = [&] { return table().viewAtColumn(2, 0)->cxAudioTitle()->text(); };
    QPointer<AudioEditView> editor(openEditor(0));
    ASSERT_TRUE(editor);
    editor->audioTitle()->setFocus();
    editor->audioTitle()->selectAll();
    QTest::keyClicks(editor->audioTitle(), "New");
    EXPECT_EQ(cueAt(0).audioTitle, "New");
    EXPECT_EQ(shownTitle(), "Old");  // the row follows only on a save
    editor->saveControl()->click();
    EXPECT_EQ(savedCue(0)["audioTitle"], "New");
    EXPECT_EQ(shownTitle(), "New");
    EXPECT_TRUE(waitFor([&] { return editor.isNull(); }, 2000));

    // The close-window command, and the close box, which keeps the edits already in the cue.
    for (const char* title : {"Closed", "Boxed"}) {
        editor = openEditor(0);
        ASSERT_TRUE(editor);
        editor->audioTitle()->setText(title);
        emit editor->audioTitle()->editingFinished();
        if (title == std::string("Closed"))
            NotificationCenter::defaultCenter().post("closeWindow");
        else
            editor->close();
        EXPECT_EQ(savedCue(0)["audioTitle"], title);
        EXPECT_EQ(shownTitle(), title);
        EXPECT_TRUE(waitFor([&] { return editor.isNull(); }, 2000));
    }
}

TEST_F(CueEditorTest, PlayingCueKeepsPlayingUnderTheEditorWithItsPlayHead) {
    const std::string f = audioFile("a.wav", 5.0);
    writeList({cue(f)});
    open();
    click(0);
    ASSERT_TRUE(playing(0));
    AudioEditView* editor = openEditor(0);
    ASSERT_NE(editor, nullptr);
    QTest::qWait(300);
    EXPECT_TRUE(playing(0));
    EXPECT_EQ(titleOf(0), "Stop");
    ASSERT_TRUE(waitFor([&] { return editor->waveform()->playPosition().has_value(); }, 1000));
    EXPECT_GT(*editor->waveform()->playPosition(), 0.1);

    click(0);
    EXPECT_TRUE(waitFor([&] { return !editor->waveform()->playPosition(); }, 1000));
}

TEST_F(CueEditorTest, WaveformReadsAsideAndItsMarkersSetTheCutAsTheFieldsWould) {
    const std::string f = longFile();
    writeList({cue(f)});
    open();
    CXAudio& c = cueAt(0);
    AudioEditView* editor = openEditor(0);
    ASSERT_NE(editor, nullptr);
    WaveformView* wave = editor->waveform();
    // The form is up before the file has been read through; the outline follows.
    EXPECT_FALSE(wave->hasPeaks());
    ASSERT_TRUE(waitFor([&] { return editor->waveformReady(); }, 10000));
    EXPECT_TRUE(wave->hasPeaks());
    ASSERT_GT(wave->width(), 100);
    auto xOf = [&](double seconds) { return QPoint(int(std::lround(wave->xOfTime(seconds))), 40); };
    auto drag = [&](QPoint from, QPoint to) {
        QTest::mousePress(wave, Qt::LeftButton, {}, from);
        QTest::mouseMove(wave, to);
        QTest::mouseRelease(wave, Qt::LeftButton, {}, to);
    };

    // The end marker pulled in to about 150 s: whole seconds, as typed.
    drag(xOf(200.7), xOf(150.0));
    EXPECT_EQ(c.endTime, std::trunc(wave->timeAtX(xOf(150.0).x())));
    EXPECT_NEAR(c.endTime, 150.0, 1.0);
    EXPECT_EQ(editor->endMin()->text(), "2");
    EXPECT_EQ(editor->cutIcon()->contentTintColor(), CueIcons::green());

    // Back to the right edge: the file's exact end again.
    drag(xOf(c.endTime), QPoint(wave->width() + 20, 40));
    EXPECT_EQ(c.endTime, c.player->duration());
    EXPECT_EQ(fields(editor->endMin(), editor->endSec()), "3:20");

    // The start marker follows the same rules, and the fields show it.
    drag(xOf(0.0), xOf(65.0));
    EXPECT_NEAR(c.startTime, 65.0, 1.0);
    EXPECT_EQ(editor->startMin()->text(), "1");
    EXPECT_EQ(editor->startSec()->text().toInt(), int(c.startTime) - 60);

    // A press away from both markers moves nothing.
    drag(xOf(120.0), xOf(10.0));
    EXPECT_NEAR(c.startTime, 65.0, 1.0);
}

TEST(WaveformPeaksTest, SlicesHoldTheFilesExtremesAndReadingCanStop) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/halves.wav";
    // One second of silence, then one second at ±0.5 (a square wave, so the peaks are exact).
    testfiles::writeWav16(path, 44100, 2, 88200, [](int64_t i, int) {
        return i < 44100 ? 0.0f : ((i / 50) % 2 ? 0.5f : -0.5f);
    });
    std::atomic<bool> cancelled{false};
    const auto peaks = waveform::computePeaks(path, 100, cancelled);
    ASSERT_TRUE(peaks);
    EXPECT_NEAR(peaks->duration, 2.0, 1e-9);
    ASSERT_EQ(peaks->slices(), 100);
    for (int s = 0; s < 49; ++s) EXPECT_EQ(peaks->high[std::size_t(s)], 0.0f) << s;
    for (int s = 51; s < 100; ++s) {
        EXPECT_NEAR(peaks->high[std::size_t(s)], 0.5f, 1e-3) << s;
        EXPECT_NEAR(peaks->low[std::size_t(s)], -0.5f, 1e-3) << s;
    }

    cancelled = true;
    EXPECT_FALSE(waveform::computePeaks(path, 100, cancelled));
    cancelled = false;
    testfiles::writeAll(dir.path().toStdString() + "/text.wav", "not audio at all");
    EXPECT_FALSE(waveform::computePeaks(dir.path().toStdString() + "/text.wav", 100, cancelled));
}

}  // namespace
