// The transport on a real window: cues on generated files, played through the real engine.
#include <QTimer>

#include "WindowFixture.h"

namespace {

class TransportTest : public WindowFixture {};

TEST_F(TransportTest, PlayClickDecidesFromFlagsAndPlayerState) {
    const std::string f = audioFile("tone.wav", 5.0);
    writeList({cue(f), cue(f, {{"fadeIn", true}, {"fadeInLength", 0.6}}),
               cue(f, {{"fadeOut", true}, {"fadeOutLength", 0.6}})});
    open();

    // Stopped, no fade-in: starts at once.
    click(0);
    EXPECT_TRUE(playing(0));
    EXPECT_EQ(titleOf(0), "Stop");
    // Playing, no fade-out: stops at once and shows the start.
    click(0);
    EXPECT_FALSE(playing(0));
    EXPECT_EQ(titleOf(0), "Play");
    EXPECT_EQ(startTextOf(0), "0:00");

    // Stopped with fade-in: fades in; a click during the fade finishes it.
    click(1);
    EXPECT_TRUE(playing(1));
    EXPECT_TRUE(cueAt(1).fadingIn);
    EXPECT_EQ(titleOf(1), "Fading");
    QTest::qWait(100);
    click(1);
    EXPECT_TRUE(playing(1));
    EXPECT_FALSE(cueAt(1).fadingIn);
    EXPECT_EQ(titleOf(1), "Stop");
    // The fade-in's own completion finds its fade cut short and leaves the row alone.
    QTest::qWait(700);
    EXPECT_EQ(titleOf(1), "Stop");

    // Playing with fade-out: a first click fades, a second during the fade stops at once.
    click(2);
    ASSERT_TRUE(playing(2));
    click(2);
    EXPECT_TRUE(cueAt(2).fadingOut);
    EXPECT_TRUE(playing(2));
    EXPECT_EQ(titleOf(2), "Fading");
    click(2);
    EXPECT_FALSE(playing(2));
    EXPECT_FALSE(cueAt(2).fadingOut);
    EXPECT_EQ(titleOf(2), "Play");

    // Left to itself, a fade-out ends the cue after its length.
    click(2);
    click(2);
    const auto fadeStarted = SteadyClock::now();
    ASSERT_TRUE(waitFor([&] { return !playing(2); }, 3000));
    EXPECT_GE(secondsSince(fadeStarted), 0.55);
    EXPECT_EQ(titleOf(2), "Play");
}

TEST_F(TransportTest, MoveSelectionAndExtendPlayStopAtTheLastRow) {
    const std::string f = audioFile("tone.wav", 3.0);
    const nlohmann::json chained = {{"moveSelection", true}, {"extendPlay", true}};
    writeList({cue(f, chained), cue(f, chained)});
    open();
    selectNothing();

    CaptureStdout out;
    click(1);
    EXPECT_TRUE(playing(1));
    EXPECT_EQ(table().selectedRow(), -1) << "no row after the last one to select";
    EXPECT_FALSE(playing(0));
    EXPECT_EQ(out.text(), "") << "the last row writes no delay line";

    click(0);
    EXPECT_EQ(table().selectedRow(), 1);
    EXPECT_EQ(out.text(), "0\n");
    // The next cue is started again even though it already plays.
    EXPECT_TRUE(playing(1));
    EXPECT_EQ(titleOf(1), "Stop");
}

TEST_F(TransportTest, ExtendPlayChainStartsInOrderAndHonoursDelay) {
    const std::string f = audioFile("tone.wav", 3.0);
    writeList({cue(f, {{"extendPlay", true}, {"extendDelay", 0.0}}),
               cue(f, {{"extendPlay", true}, {"extendDelay", 0.0}}),
               cue(f, {{"extendPlay", true}, {"extendDelay", 0.25}}), cue(f)});
    open();

    CaptureStdout out;
    const auto clicked = SteadyClock::now();
    click(0);
    // Without delay the chain has started before the click returns.
    EXPECT_TRUE(playing(0));
    EXPECT_TRUE(playing(1));
    EXPECT_TRUE(playing(2));
    EXPECT_FALSE(playing(3));
    EXPECT_EQ(out.text(), "0\n0\n0.25\n");

    ASSERT_TRUE(waitFor([&] { return playing(3); }, 2000));
    EXPECT_GE(secondsSince(clicked), 0.25);
    EXPECT_EQ(titleOf(3), "Stop");
}

TEST_F(TransportTest, DelayedStartWhoseRowIsGoneDoesNothing) {
    const std::string f = audioFile("tone.wav", 3.0);
    writeList({cue(f, {{"extendPlay", true}, {"extendDelay", 0.2}}), cue(f)});
    open();

    CaptureStdout out;
    click(0);
    // The operator removes the next cue during the delay.
    vc().cxList.pop_back();
    table().removeRowsAtIndexes({1});
    QTest::qWait(400);
    EXPECT_TRUE(playing(0));
    EXPECT_EQ(vc().cxList.size(), 1u);
}

TEST_F(TransportTest, CutEndWithoutFadeOutStopsAndDoesNotPersistThrough) {
    const std::string f = audioFile("tone.wav", 5.0);
    writeList({cue(f, {{"startTime", 2.1},
                       {"endTime", 2.5},
                       {"persistThrough", true},
                       {"persistDelay", 0.0}}),
               cue(f)});
    open();

    const auto clicked = SteadyClock::now();
    click(0);
    ASSERT_TRUE(waitFor([&] { return !playing(0); }, 2000));
    EXPECT_LT(secondsSince(clicked), 1.5) << "stopped at the cut end, not the file's end";
    EXPECT_EQ(titleOf(0), "Play");
    EXPECT_EQ(startTextOf(0), "0:02");
    // The slider goes to 0, the bottom of its range (the cue's start).
    EXPECT_EQ(positionSliderOf(0), 0.0);
    QTest::qWait(200);
    EXPECT_FALSE(playing(1)) << "a cut-end stop is no end of playback";
}

TEST_F(TransportTest, CutEndAndFadeOutOfRowsOutOfViewComeOnTime) {
    // The pass skips the display of rows without cells, never their checks.
    const std::string f = audioFile("tone.wav", 5.0);
    std::vector<nlohmann::json> cues(40, cue(f));
    cues[38] = cue(f, {{"endTime", 0.4}});
    cues[39] = cue(f, {{"fadeOut", true}, {"fadeOutLength", 0.2}, {"endTime", 0.6}});
    writeList(cues);
    open(900, 300);
    ASSERT_EQ(table().viewAtColumn(1, 38), nullptr);
    ASSERT_EQ(table().viewAtColumn(1, 39), nullptr);

    vc().startCue(38);
    vc().startCue(39);
    ASSERT_TRUE(waitFor([&] { return !playing(38); }, 2000)) << "the cut end was missed";
    EXPECT_TRUE(waitFor([&] { return cueAt(39).fadingOut; }, 2000)) << "no fade-out";
    ASSERT_TRUE(waitFor([&] { return !playing(39); }, 2000));

    table().scrollToBottom();
    EXPECT_EQ(titleOf(38), "Play");
    EXPECT_EQ(startTextOf(38), "0:00");
    EXPECT_EQ(titleOf(39), "Play");
}

TEST_F(TransportTest, AutomaticFadeOutStartsItsLengthBeforeTheEnd) {
    const std::string f = audioFile("tone.wav", 3.0);
    writeList({cue(f, {{"fadeOut", true}, {"fadeOutLength", 0.4}, {"endTime", 1.0}})});
    open();

    click(0);
    ASSERT_TRUE(waitFor([&] { return cueAt(0).fadingOut; }, 3000));
    const double position = cueAt(0).player->currentTime();
    EXPECT_GE(position, 0.6);
    // The timer looks every 10 ms; the margin is for a loaded machine's late passes.
    EXPECT_LT(position, 0.8);
    EXPECT_EQ(titleOf(0), "Fading");
    ASSERT_TRUE(waitFor([&] { return !playing(0); }, 2000));
    EXPECT_EQ(titleOf(0), "Play");
    EXPECT_EQ(startTextOf(0), "0:00");
}

TEST_F(TransportTest, FadeOutRunningPastTheCutEndGetsOneStop) {
    // The fade-out starts at once (its length exceeds the cut) and is still running at the cut
    // end, 0.5 s in. Each cut-end stop schedules a reset 1.5 s later; a stop on every timer pass
    // would leave resets pending until 3.0 s that silence a restart at 2.2 s.
    const std::string f = audioFile("tone.wav", 5.0);
    writeList({cue(f, {{"fadeOut", true}, {"fadeOutLength", 1.5}, {"endTime", 0.5}})});
    open();

    const auto started = SteadyClock::now();
    click(0);
    ASSERT_TRUE(waitFor([&] { return !playing(0); }, 3000));
    ASSERT_TRUE(waitFor([&] { return secondsSince(started) >= 2.2; }, 3000));
    click(0);
    ASSERT_TRUE(playing(0));
    QTest::qWait(300);
    EXPECT_TRUE(playing(0)) << "a stale cut-end reset stopped the restarted cue";
}

TEST_F(TransportTest, PersistThroughAfterNaturalEnd) {
    const std::string f = audioFile("short.wav", 0.3);
    const std::string g = audioFile("tone.wav", 3.0);
    writeList({cue(f, {{"persistThrough", true}, {"persistDelay", 0.0}}), cue(g),
               cue(f, {{"persistThrough", true}, {"persistDelay", 0.4}}), cue(g),
               cue(f, {{"persistThrough", true}})});
    open();

    // The end event reaches the window through the event loop; the row's title turning back to
    // "Play" is the moment the controller handled it.
    click(0);
    ASSERT_TRUE(waitFor([&] { return titleOf(0) == "Play"; }, 2000));
    EXPECT_FALSE(playing(0));
    EXPECT_TRUE(playing(1)) << "no delay: the next cue starts before the row resets";
    EXPECT_EQ(titleOf(1), "Stop");

    click(2);
    ASSERT_TRUE(waitFor([&] { return titleOf(2) == "Play"; }, 2000));
    const auto ended = SteadyClock::now();
    EXPECT_FALSE(playing(3));
    ASSERT_TRUE(waitFor([&] { return playing(3); }, 2000));
    EXPECT_GE(secondsSince(ended), 0.3);

    // On the last row only the display is reset.
    click(4);
    EXPECT_TRUE(waitFor([&] { return titleOf(4) == "Play"; }, 2000));
}

TEST_F(TransportTest, StopAllOverPlainFadingAndFadeArmedCues) {
    const std::string f = audioFile("tone.wav", 5.0);
    writeList({cue(f), cue(f, {{"fadeOut", true}, {"fadeOutLength", 1.0}}),
               cue(f, {{"fadeOut", true}, {"fadeOutLength", 0.5}}), cue(f)});
    open();

    click(0);
    click(1);
    click(1);  // now in the middle of its fade-out
    click(2);
    ASSERT_TRUE(cueAt(1).fadingOut);
    ASSERT_FALSE(cueAt(2).fadingOut);

    window_->findChild<QPushButton*>("stopAllButton")->click();
    EXPECT_FALSE(playing(0));
    EXPECT_EQ(titleOf(0), "Play");
    EXPECT_FALSE(playing(1));
    EXPECT_EQ(titleOf(1), "Play");
    EXPECT_TRUE(playing(2));
    EXPECT_TRUE(cueAt(2).fadingOut);
    EXPECT_EQ(titleOf(2), "Fading");
    EXPECT_EQ(titleOf(3), "Play") << "a stopped row is left alone";
    ASSERT_TRUE(waitFor([&] { return !playing(2); }, 2000));
    EXPECT_EQ(titleOf(2), "Play");
}

TEST_F(TransportTest, PendingPersistStartSurvivesStopAll) {
    const std::string f = audioFile("short.wav", 0.2);
    const std::string g = audioFile("tone.wav", 3.0);
    writeList({cue(f, {{"persistThrough", true}, {"persistDelay", 0.3}}), cue(g)});
    open();

    click(0);
    ASSERT_TRUE(waitFor([&] { return titleOf(0) == "Play"; }, 2000));
    window_->findChild<QPushButton*>("stopAllButton")->click();
    EXPECT_TRUE(waitFor([&] { return playing(1); }, 2000));
}

TEST_F(TransportTest, TimerShowsThePositionOfPlayingRowsAndSleepsWhenNoneDo) {
    const std::string f = audioFile("tone.wav", 3.0);
    writeList({cue(f), cue(f)});
    open();
    QTimer& timer = *vc().scrubTimer;
    EXPECT_TRUE(waitFor([&] { return !timer.isActive(); }, 500)) << "idle, nothing to show";

    click(0);
    EXPECT_TRUE(timer.isActive());
    EXPECT_EQ(timer.interval(), 10);
    ASSERT_TRUE(waitFor([&] { return startTextOf(0) == "0:01"; }, 2500));
    EXPECT_GE(positionSliderOf(0), 1.0);
    EXPECT_EQ(startTextOf(1), "0:00");
    EXPECT_EQ(positionSliderOf(1), 0.0);

    click(0);
    EXPECT_TRUE(waitFor([&] { return !timer.isActive(); }, 500));
    // A cue with a cut end is caught by the timer alone: it must be awake again after a start.
    cueAt(1).endTime = 0.3;
    click(1);
    EXPECT_TRUE(waitFor([&] { return !playing(1); }, 1500)) << "the cut end was missed";
}

}  // namespace
