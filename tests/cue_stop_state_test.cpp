// What a cue is left in after it was stopped mid-fade, by stop all or at its cut end, and what a
// quick restart after such a stop does: a real window, real files, the real engine.
#include "WindowFixture.h"

namespace {

class CueStopStateTest : public WindowFixture {
protected:
    // For what waits on the play position: it moves with the output device, which a loaded
    // machine can hold up for a while.
    static constexpr int kPlaybackWaitMs = 5000;

    // The row says what the player does: "Play" exactly when it is silent.
    void expectTitleMatchesPlayer(int row) {
        const std::string title = titleOf(row).toStdString();
        if (playing(row))
            EXPECT_TRUE(title == "Stop" || title == "Fading") << "row " << row << " plays";
        else
            EXPECT_EQ(title, "Play") << "row " << row << " is silent";
    }
    // Playing and heard: the mixer applies a gain near the cue's own level.
    bool sounds(int row) {
        return playing(row) && cueAt(row).player->currentGain() > 0.5f * cueAt(row).volumeLevel;
    }
    void stopAll() { window_->findChild<QPushButton*>("stopAllButton")->click(); }
};

TEST_F(CueStopStateTest, StopAllDuringFadeInsLeavesNoFadeBehind) {
    const std::string f = audioFile("tone.wav", 5.0);
    writeList(
        {cue(f, {{"fadeIn", true}, {"fadeInLength", 0.6}}), cue(f, {{"fadeIn", true},
                                                                    {"fadeInLength", 0.6},
                                                                    {"fadeOut", true},
                                                                    {"fadeOutLength", 0.5}})});
    open();

    click(0);
    click(1);
    QTest::qWait(100);
    stopAll();
    EXPECT_FALSE(playing(0));
    EXPECT_FALSE(cueAt(0).fadingIn);
    expectTitleMatchesPlayer(0);
    // The one with fade-out fades out; a click now stops it instead of undoing the fade.
    EXPECT_TRUE(cueAt(1).fadingOut);
    EXPECT_FALSE(cueAt(1).fadingIn);
    EXPECT_EQ(titleOf(1).toStdString(), "Fading");
    click(1);
    EXPECT_FALSE(playing(1));
    EXPECT_FALSE(cueAt(1).fadingIn || cueAt(1).fadingOut);
    expectTitleMatchesPlayer(1);

    // Past the old fade-ins' time, the silent rows still say so.
    QTest::qWait(700);
    expectTitleMatchesPlayer(0);
    expectTitleMatchesPlayer(1);

    // A restart sounds, by click and by Go.
    click(0);
    table().selectRowIndexes({1}, false);
    vc().goMenuButton();
    EXPECT_TRUE(cueAt(0).fadingIn && cueAt(1).fadingIn);
    ASSERT_TRUE(waitFor([&] { return sounds(0) && sounds(1); }, kPlaybackWaitMs));
    ASSERT_TRUE(waitFor([&] { return titleOf(0) == "Stop" && titleOf(1) == "Stop"; }, 2000));
    expectTitleMatchesPlayer(0);
    expectTitleMatchesPlayer(1);
}

TEST_F(CueStopStateTest, CutEndDuringAFadeInLeavesNoFadeBehind) {
    const std::string f = audioFile("tone.wav", 5.0);
    writeList({cue(f, {{"fadeIn", true}, {"fadeInLength", 1.0}, {"endTime", 0.3}})});
    open();

    click(0);
    ASSERT_TRUE(waitFor([&] { return !playing(0) && titleOf(0) == "Play"; }, kPlaybackWaitMs));
    EXPECT_FALSE(cueAt(0).fadingIn);
    expectTitleMatchesPlayer(0);

    // A click starts the cue anew, fading in from the start.
    click(0);
    EXPECT_TRUE(playing(0));
    EXPECT_EQ(titleOf(0).toStdString(), "Fading");
    ASSERT_TRUE(waitFor([&] { return !playing(0); }, kPlaybackWaitMs));
    // Left alone past the first fade-in's length: still a stopped row.
    QTest::qWait(1100);
    expectTitleMatchesPlayer(0);
    click(0);
    EXPECT_TRUE(playing(0));
    expectTitleMatchesPlayer(0);
}

TEST_F(CueStopStateTest, QuickRestartsAfterFadeOutCutEndStopsAllSound) {
    // The fade-out starts 0.6 s in and the cut end comes at 0.9 s, while the fade may still run;
    // each restart follows the stop at once. The position runs ahead of the wall clock by what
    // the sound server asks to have queued, which grows on a loaded machine: the check below,
    // 0.45 s after the restart, keeps that far from this run's own end.
    const std::string f = audioFile("tone.wav", 5.0);
    writeList({cue(f, {{"fadeOut", true}, {"fadeOutLength", 0.3}, {"endTime", 0.9}})});
    open();

    int sounded = 0;
    click(0);
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(waitFor([&] { return !playing(0); }, kPlaybackWaitMs)) << "restart " << i;
        click(0);
        const auto restarted = SteadyClock::now();
        const bool heard = waitFor([&] { return sounds(0); }, kPlaybackWaitMs);
        // Past any stop the earlier run left pending (0.3 s), before this run's own end (0.9 s).
        waitFor([&] { return secondsSince(restarted) >= 0.45; }, 1000);
        if (heard && playing(0) && titleOf(0) != "Play") ++sounded;
    }
    EXPECT_EQ(sounded, 12);
}

}  // namespace
