// The transport on a real window: cues on generated files, played through the real engine.
#include <QProcess>
#include <QTimer>
#include <cmath>
#include <iostream>
#include <thread>

#include "WindowFixture.h"
#include "app/AppDelegate.h"
#include "audio/AudioEngine.h"
#include "support/SinkRecorder.h"
#include "window/MasterLevel.h"

namespace {

class TransportTest : public WindowFixture {
protected:
    // The program plays into a sink of the test's own until it ends: other tests may play into
    // the shared one meanwhile. Empty when it could not be made.
    QString ownSink(const char* name) {
        const QString sink = QString("%1_%2").arg(name).arg(QCoreApplication::applicationPid());
        QProcess load;
        load.start("pactl", {"load-module", "module-null-sink", "sink_name=" + sink, "rate=48000",
                             "channels=2"});
        if (!load.waitForFinished() || load.exitCode() != 0) return {};
        module_ = QString::fromUtf8(load.readAllStandardOutput()).trimmed();
        AudioEngine::shared().setOutput({"pulse:" + sink.toStdString()});
        return sink;
    }
    void TearDown() override {
        if (!module_.isEmpty()) AudioEngine::shared().setOutput({});
        if (!module_.isEmpty()) QProcess::execute("pactl", {"unload-module", module_});
        WindowFixture::TearDown();
    }
    QString module_;
};

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
    ASSERT_TRUE(waitFor([&] { return !playing(2) && titleOf(2) == "Play"; }, 3000));
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
    // The engine starts it on its frame, which is mixed ahead of the sound by the output's
    // latency (the frame itself is checked at the sink below).
    EXPECT_GE(secondsSince(clicked), 0.2);
    EXPECT_TRUE(waitFor([&] { return titleOf(3) == "Stop"; }, 500));
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
    ASSERT_TRUE(waitFor([&] { return !playing(0) && titleOf(0) == "Play"; }, 2000));
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
    ASSERT_TRUE(waitFor([&] { return !playing(0) && titleOf(0) == "Play"; }, 2000));
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
    ASSERT_TRUE(waitFor([&] { return !playing(2) && titleOf(2) == "Play"; }, 2000));
    EXPECT_EQ(titleOf(2), "Play");
}

TEST_F(TransportTest, PendingPersistStartIsCalledOffByStopAll) {
    const std::string f = audioFile("short.wav", 0.2);
    const std::string g = audioFile("tone.wav", 3.0);
    writeList({cue(f, {{"persistThrough", true}, {"persistDelay", 0.3}}), cue(g)});
    open();

    click(0);
    ASSERT_TRUE(waitFor([&] { return titleOf(0) == "Play"; }, 2000));
    window_->findChild<QPushButton*>("stopAllButton")->click();
    EXPECT_FALSE(waitFor([&] { return playing(1); }, 1000));
}

TEST_F(TransportTest, TimerShowsThePositionOfPlayingRowsAndSleepsWhenNoneDo) {
    const std::string f = audioFile("tone.wav", 3.0);
    writeList({cue(f), cue(f)});
    open();
    QTimer& timer = *vc().scrubTimer;
    EXPECT_TRUE(waitFor([&] { return !timer.isActive(); }, 500)) << "idle, nothing to show";

    click(0);
    EXPECT_TRUE(timer.isActive());
    EXPECT_EQ(timer.interval(), 40);
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

// The show's timing is the engine's: with the window frozen across a whole chain, every cue
// still starts, stops and fades on its frame, measured at the sink. The files are a slow
// sawtooth whose value tells which frame of the file is heard (0.2 + 0.0001 * (i % 1000));
// A plays left, B right, C left, so each is read back alone.
TEST_F(TransportTest, ChainCutEndAndFadesLandOnTheirFramesWhileTheWindowIsFrozen) {
    if (!std::getenv("PULSE_SERVER"))
        GTEST_SKIP() << "no sound server (scripts/test.sh starts one)";
    if (testfiles::kSlowdown > 1)
        GTEST_SKIP() << "a sanitized build is too slow for timing at the sink to mean anything";
    const QString sink = ownSink("cuevox_timing");
    ASSERT_FALSE(sink.isEmpty());

    const auto saw = [](int64_t i, int) { return 0.2f + 0.0001f * float(i % 1000); };
    testfiles::writeWav16(documents_ + "/audio/a.wav", 48000, 2, 96000, saw);
    testfiles::writeWav16(documents_ + "/audio/b.wav", 48000, 2, 48000, saw);
    testfiles::writeWav16(documents_ + "/audio/c.wav", 48000, 2, 144000, saw);
    writeList({cue("a.wav", {{"endTime", 0.8},
                             {"extendPlay", true},
                             {"extendDelay", 0.5},
                             {"panAudio", -1.0},
                             {"volumeLevel", 1.0}}),
               cue("b.wav", {{"persistThrough", true},
                             {"persistDelay", 0.4},
                             {"panAudio", 1.0},
                             {"volumeLevel", 1.0}}),
               cue("c.wav", {{"startTime", 0.5},
                             {"endTime", 1.6},
                             {"fadeOut", true},
                             {"fadeOutLength", 0.5},
                             {"panAudio", -1.0},
                             {"volumeLevel", 1.0}})});
    open();
    QTemporaryDir dir;
    SinkRecorder recorder(dir.filePath("out.raw"), sink);
    ASSERT_TRUE(recorder.start());

    click(0);
    // Frozen from just after the Go until after the last cue's fade: a stalled compositor.
    QTimer::singleShot(30, [] { std::this_thread::sleep_for(std::chrono::milliseconds(3300)); });
    QTest::qWait(100);
    // Back again, the rows catch up: all three played and stopped.
    EXPECT_TRUE(waitFor([&] { return !playing(0) && !playing(1) && !playing(2); }, 3000));
    EXPECT_TRUE(waitFor(
        [&] { return titleOf(0) == "Play" && titleOf(1) == "Play" && titleOf(2) == "Play"; },
        1000));
    EXPECT_FALSE(cueAt(2).fadingOut);
    QTest::qWait(200);
    const auto samples = recorder.stop();

    const int64_t frames = int64_t(samples.size() / 2);
    const auto left = [&](int64_t f) { return f < frames ? samples[size_t(f) * 2] : 0.0f; };
    const auto right = [&](int64_t f) { return f < frames ? samples[size_t(f) * 2 + 1] : 0.0f; };
    const auto onset = [&](auto channel, int64_t from) {
        for (int64_t f = from; f < frames; ++f)
            if (std::abs(channel(f)) > 0.1f) return f;
        return int64_t(-1);
    };
    // Which frame of the file a full-level sample is.
    const auto frameOf = [](float v) { return std::lround((v - 0.2f) / 0.0001f); };
    const auto gainAt = [&](float v, int64_t fileFrame) { return v / saw(fileFrame, 0); };

    const int64_t heardA = onset(left, 0), b = onset(right, 0);
    ASSERT_GE(heardA, 0);
    ASSERT_GE(b, 0);
    // Fired as the window opens, before the output is there: A waits for it, whole.
    EXPECT_EQ(frameOf(left(heardA)), 0) << "A's first frame heard";
    EXPECT_EQ(frameOf(right(b)), 0) << "B's first frame heard";
    // A's cut end at 0.8 s: the file's frames follow one another up to its frame 38399, then
    // the stop's short fall begins. Where A's first frame is (or would have been, had its
    // start been lost) follows from there.
    int64_t cut = heardA + 1;
    while (cut < frames && frameOf(left(cut)) == (frameOf(left(cut - 1)) + 1) % 1000) ++cut;
    EXPECT_EQ(frameOf(left(cut - 1)), 399) << "A's last frame at full level";
    EXPECT_NEAR(left(cut) / left(cut - 1), 127.0 / 128.0, 2e-3);
    EXPECT_EQ(left(cut + Mixer::kStopTailFrames), 0.0f);
    const int64_t a = cut - 38400;
    // Extend play: B 0.5 s after A's first frame; persist through: C 0.4 s after B's last.
    std::cout << "B after A: " << b - a << " frames (set 24000)" << std::endl;
    EXPECT_NEAR(double(b - a), 24000.0, 48.0);
    EXPECT_EQ(frameOf(right(b + 47999)), 999);
    EXPECT_EQ(right(b + 48000), 0.0f);
    const int64_t c = onset(left, a + 38400 + Mixer::kStopTailFrames);
    ASSERT_GE(c, 0);
    std::cout << "C after B's end: " << c - (b + 48000) << " frames (set 19200)" << std::endl;
    EXPECT_NEAR(double(c - (b + 48000)), 19200.0, 48.0);
    EXPECT_EQ(frameOf(left(c)), 0) << "C's first frame heard is its start point's";
    // C's automatic fade-out: from 1.1 s to its cut end at 1.6 s of the file, a straight line
    // within a millisecond's worth of it, then silence.
    double worst = 0.0;
    for (int64_t k = 27800; k < 52800; ++k) {
        const double want = k < 28800 ? 1.0 : 1.0 - double(k - 28800) / 24000.0;
        worst = std::max(worst, std::abs(gainAt(left(c + k), 24000 + k) - want));
    }
    EXPECT_LT(worst, 48.0 / 24000.0) << "C's fade strayed from its frames";
    for (int64_t k = 52800; k < 56000; ++k) ASSERT_EQ(left(c + k), 0.0f) << k;
}

// The stop controls through the window's keys, heard at a sink of the test's own. A (an index
// file, left) chains B (0.3, right) 1.5 s after its start. P at about 1 s holds A, P at about
// 3 s goes on: A from the very frame it held, B later by the time held. PageDown on the master
// (-6 dB) halves both; Shift+Escape fades both from their levels to silence over the Fade All
// time (1 s). Then C (0.4, left, a 3 s fade-out) chains D (right) after 2 s: Escape starts
// C's fade, a second Escape cuts it at once and D never sounds.
TEST_F(TransportTest, PauseResumeMasterFadeAllAndPanicAtTheSink) {
    if (!std::getenv("PULSE_SERVER"))
        GTEST_SKIP() << "no sound server (scripts/test.sh starts one)";
    const QString sink = ownSink("cuevox_stops");
    ASSERT_FALSE(sink.isEmpty());
    testfiles::writeIndexWav(documents_ + "/audio/a.wav", 48000, 48000 * 12);
    for (const auto& file : {std::pair{"b.wav", 0.3f}, {"c.wav", 0.4f}, {"d.wav", 0.25f}}) {
        const float level = file.second;
        testfiles::writeWav16(documents_ + "/audio/" + file.first, 48000, 2, 384000,
                              [level](int64_t, int) { return level; });
    }
    const auto chained = [](double delay, double pan, bool fade = false) {
        return nlohmann::json{{"extendPlay", delay > 0}, {"extendDelay", delay},
                              {"panAudio", pan},         {"volumeLevel", 1.0},
                              {"fadeOut", fade},         {"fadeOutLength", 3.0}};
    };
    writeList({cue("a.wav", chained(1.5, -1.0)), cue("b.wav", chained(0, 1.0)),
               cue("c.wav", chained(2.0, -1.0, true)), cue("d.wav", chained(0, 1.0))});
    ViewController::setFadeAllSeconds(1.0);
    open();
    AppDelegate delegate;
    delegate.connectMenu(*window_);
    delegate.applicationDidFinishLaunching();
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    const auto press = [](Qt::Key key, Qt::KeyboardModifiers mods = {}) {
        QTest::keyClick(QApplication::focusWidget(), key, mods);
    };
    QTemporaryDir dir;
    SinkRecorder recorder(dir.filePath("out.raw"), sink);
    ASSERT_TRUE(recorder.start());

    table().setFocus();
    press(Qt::Key_Space);
    QTest::qWait(1000);
    press(Qt::Key_P);
    EXPECT_EQ(titleOf(0), "Paused");
    QTest::qWait(2000);
    press(Qt::Key_P);
    EXPECT_EQ(titleOf(0), "Stop");
    ASSERT_TRUE(waitFor([&] { return playing(1); }, 3000));
    QTest::qWait(500);
    window_->masterLevel()->slider()->setFocus();
    press(Qt::Key_PageDown);
    QTest::qWait(500);
    press(Qt::Key_Escape, Qt::ShiftModifier);
    ASSERT_TRUE(waitFor([&] { return !playing(0) && !playing(1); }, 3000));
    table().setFocus();
    table().selectRowIndexes({2}, false);
    press(Qt::Key_Space);
    QTest::qWait(400);
    press(Qt::Key_Escape);
    QTest::qWait(100);
    press(Qt::Key_Escape);
    EXPECT_FALSE(playing(2));
    QTest::qWait(2500);
    const auto samples = recorder.stop();
    window_->masterLevel()->slider()->setValue(0);

    const int64_t frames = int64_t(samples.size() / 2);
    const auto left = [&](int64_t f) { return f < frames ? samples[size_t(f) * 2] : 0.0f; };
    const auto right = [&](int64_t f) { return f < frames ? samples[size_t(f) * 2 + 1] : 0.0f; };
    const auto index = [&](int64_t f) { return testfiles::indexOf(left(f)); };
    const auto value = [](int64_t i) { return float(i % 32768) / 32768.0f; };
    const auto next = [&](auto channel, int64_t f, auto test) {
        while (f < frames && !test(channel(f))) ++f;
        return f;
    };
    const auto runEnd = [&](int64_t f) {
        while (f + 1 < frames && index(f + 1) == (index(f) + 1) % 32768) ++f;
        return f + 1;
    };
    // A held: the file's frames run on to its pause, fall within the tail, and are silent.
    const int64_t a = next(left, 0, [](float v) { return v != 0.0f; }) - 1;
    const int64_t held = runEnd(a + 1), place = index(held - 1) + 1;
    EXPECT_EQ(left(held + Mixer::kStopTailFrames), 0.0f);
    const int64_t back =
        next(left, held + Mixer::kStopTailFrames, [](float v) { return v != 0.0f; });
    ASSERT_GT(back - held, 48000) << "held about 2 s";
    // Resumed from that very frame, rising over the tail's length.
    const int64_t on = back + 2 * Mixer::kStopTailFrames;
    EXPECT_LE(std::abs(index(on) - (place + on - back) % 32768), 1);
    const int64_t master = runEnd(on);
    ASSERT_GT(master - on, 24000);
    // B came as A reached its 1.5 s: the time held did not count.
    const int64_t b = next(right, 0, [](float v) { return v > 0.1f; });
    EXPECT_LE(std::abs(index(b) - 72000 % 32768), 1);
    // The master at -6 dB halves every sample of both, once its glide is over.
    const int64_t settled = master + Mixer::kGainGlideFrames + 64;
    const double half = std::pow(10.0, -6.0 / 20.0);
    // Where the fade began, from where it is a tenth of the way down.
    const int64_t fade = next(right, settled, [&](float v) { return v < 0.3 * half * 0.9; }) - 4800;
    ASSERT_GT(fade - settled, 4800);
    for (int64_t f = settled; f < fade; ++f) {
        ASSERT_NEAR(left(f), value(index(master - 1) + f - master + 1) * half, 1e-4) << f;
        ASSERT_NEAR(right(f), 0.3 * half, 1e-4) << f;
    }
    // Fade All: each from its level straight down to silence in 1 s.
    for (int64_t k = 0; k < 47500; k += 7) {
        const double gain = half * (1.0 - double(k) / 48000.0);
        ASSERT_NEAR(right(fade + k), 0.3 * gain, 0.3 * half * 48.0 / 48000.0 + 1e-4) << k;
        ASSERT_NEAR(left(fade + k), value(index(master - 1) + fade + k - master + 1) * gain,
                    half * 48.0 / 48000.0 + 1e-4)
            << k;
    }
    const int64_t cStart = next(left, fade + 47500, [](float v) { return v > 0.1f; });
    for (int64_t f = fade + 48100; f < cStart; ++f) ASSERT_EQ(left(f) + right(f), 0.0f) << f;
    // C's fade started by the first Escape is cut by the second within the tail; D is silent.
    const int64_t cut = next(left, cStart, [](float v) { return v < 0.1f; });
    EXPECT_GT(left(cut - Mixer::kStopTailFrames - 1), 0.4 * half * 0.9);
    for (int64_t f = cStart; f < cut - Mixer::kStopTailFrames; ++f)
        ASSERT_LT(left(f), 0.4 * half * 1.01) << "a start under the master at full level";
    ASSERT_LT(cStart + 96000 + 24000, frames);
    for (int64_t f = cut + Mixer::kStopTailFrames; f < frames; ++f)
        ASSERT_EQ(left(f) + right(f), 0.0f) << f - cStart;
}

}  // namespace
