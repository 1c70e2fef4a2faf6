#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cmath>
#include <filesystem>
#include <limits>
#include <thread>

#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"
#include "audio/Mixer.h"
#include "audio/Voice.h"
#include "support/OfflineEngine.h"
#include "support/TestFiles.h"

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = AudioEngine::kBlockFrames;

using OfflinePlayerTest = OfflineEngineTest;

TEST_F(OfflinePlayerTest, PositionIsSampleAccurateAfterPlayAndSeeks) {
    const auto path = file("index.wav");
    testfiles::writeIndexWav(path, kRate, kRate * 3);
    auto p = open(path);
    ASSERT_TRUE(p);

    // Seek while stopped, then play: the first sample out is that frame.
    p->setCurrentTime(1000.0 / kRate);
    EXPECT_DOUBLE_EQ(p->currentTime(), 1000.0 / kRate);
    p->play();
    auto out = render(4);
    for (int i = 0; i < 4 * kBlock; ++i) {
        ASSERT_EQ(testfiles::indexOf(out[2 * size_t(i)]), 1000 + i) << "frame " << i;
        ASSERT_FLOAT_EQ(out[2 * size_t(i) + 1], -out[2 * size_t(i)]);
    }
    EXPECT_DOUBLE_EQ(p->currentTime(), (1000.0 + 4 * kBlock) / kRate);

    // Seek while playing, far away (past what is decoded ahead): exact again once the short
    // crossfade from the old place is over.
    p->setCurrentTime(100000.0 / kRate);
    EXPECT_DOUBLE_EQ(p->currentTime(), 100000.0 / kRate);
    out = render(2);
    for (int i = Mixer::kStopTailFrames; i < 2 * kBlock; ++i)
        ASSERT_EQ(testfiles::indexOf(out[2 * size_t(i)]), (100000 + i) % 32768) << "frame " << i;

    // And backwards, into the middle of a chunk.
    p->setCurrentTime(5003.0 / kRate);
    out = render(1);
    for (int i = Mixer::kStopTailFrames; i < kBlock; ++i)
        ASSERT_EQ(testfiles::indexOf(out[2 * size_t(i)]), 5003 + i);
    EXPECT_DOUBLE_EQ(p->currentTime(), (5003.0 + kBlock) / kRate);

    p->stop();
    EXPECT_FALSE(p->isPlaying());
    EXPECT_DOUBLE_EQ(p->currentTime(), (5003.0 + kBlock) / kRate);
}

// Pause holds a cue's place, silent after a short fall, and resume goes on from that very
// frame; chains held wait and move on by the time held; chains called off never come; the
// master level scales the whole mix.
TEST_F(OfflinePlayerTest, PauseHoldsThePlaceAndTheChainsAndTheMasterScalesTheMix) {
    const auto path = file("index.wav");
    testfiles::writeIndexWav(path, kRate, kRate * 3);
    auto p = open(path);
    auto q = open(path);
    ASSERT_TRUE(p && q);
    p->play();
    render(2);
    p->pause();
    EXPECT_TRUE(p->isPaused());
    auto out = render(3);
    EXPECT_NE(out[2 * 10], 0.0f) << "falls silent, not at once";
    for (int i = Mixer::kStopTailFrames; i < 3 * kBlock; ++i) ASSERT_EQ(out[2 * size_t(i)], 0.0f);
    EXPECT_DOUBLE_EQ(p->currentTime(), 2.0 * kBlock / kRate);
    p->resume();
    EXPECT_FALSE(p->isPaused());
    out = render(1);
    for (int i = Mixer::kStopTailFrames; i < kBlock; ++i)
        ASSERT_EQ(testfiles::indexOf(out[2 * size_t(i)]), 2 * kBlock + i) << "frame " << i;

    // The next cue 2400 frames on; held for five blocks, it comes five blocks later.
    p->setPlan(CuePlan{}, q.get());
    p->followAfter(2400.0 / kRate, false);
    engine.holdFollows(true);
    render(5);
    engine.holdFollows(false);
    render(4);  // 2048 frames
    EXPECT_FALSE(q->isPlaying());
    render(1);
    EXPECT_TRUE(q->isPlaying());
    q->stop();
    p->followAfter(0.0, false);
    engine.cancelFollows();
    render(4);
    EXPECT_FALSE(q->isPlaying());

    // Half the level once the glide is over, to the sample.
    p->setCurrentTime(0);
    render(1);
    engine.setMasterGain(0.5f);
    render(1);
    out = render(1);
    for (int i = 0; i < kBlock; ++i)
        ASSERT_EQ(out[2 * size_t(i)], float((2 * kBlock + i) % 32768) / 32768.0f * 0.5f);
    p->stop();
}

// The engine's timeline acts on the frames it names: a chain restarts a playing cue and wakes
// a paused one on its frame; every pass of a trimmed cue plays its cut, the fade-out on the
// last; a fade-out that reaches the file's end persists through wherever the decoder finds
// that end; a start written over queued sound counts its chain from its first frame heard, and
// is not written so when what came with it would act later. `p` is silent: only `q` is heard.
TEST_F(OfflinePlayerTest, TheTimelineActsOnTheFramesItNames) {
    const auto path = file("index.wav");
    testfiles::writeIndexWav(path, kRate, kRate * 3);
    auto p = open(path);
    auto q = open(path);
    ASSERT_TRUE(p && q);
    const auto index = [](const std::vector<float>& out, int frame) {
        return testfiles::indexOf(out[2 * size_t(frame)]);
    };
    const auto firstHeard = [](const std::vector<float>& out) {
        for (size_t i = 0; i < out.size(); i += 2)
            if (out[i] != 0.0f) return int(i / 2);
        return -1;
    };
    p->setVolume(0.0f);
    p->setPlan(CuePlan{.volume = 0.0f}, q.get());
    q->setPlan(CuePlan{}, nullptr);

    q->play();
    render(2);
    p->play();
    p->followAfter(700.0 / kRate, true);
    auto out = render(4);
    EXPECT_EQ(index(out, 699), 2 * kBlock + 699);
    for (int k = Mixer::kStopTailFrames; k < 1000; ++k)
        ASSERT_EQ(index(out, 700 + k), k) << "a playing cue restarted by a chain, frame " << k;

    q->pause();
    render(1);
    p->stop();
    p->setCurrentTime(0.0);
    p->play();
    p->followAfter(300.0 / kRate, true);
    out = render(2);
    EXPECT_EQ(firstHeard(out), 301) << "a paused cue started by a chain (frame 0 is silent)";
    EXPECT_EQ(index(out, 1000), 700);
    EXPECT_TRUE(q->isPlaying());
    EXPECT_FALSE(q->isPaused());

    // Trimmed to [1000, 3000), played three times: the fade-out (500 frames) ends the last.
    p->stop();
    q->stop();
    render(1);
    q->setPlan(CuePlan{.startFrame = 1000,
                       .loops = 2,
                       .fadeOutFrames = 500,
                       .fadeOutEnd = 3000,
                       .cutEnd = 3000},
               nullptr);
    q->setNumberOfLoops(2);
    q->setCurrentTime(1000.0 / kRate);
    q->play();
    out = render(14);
    for (int i = 0; i < 5500; ++i) ASSERT_EQ(index(out, i), 1000 + i % 2000) << "frame " << i;
    EXPECT_LT(out[2 * 5750], float(2750) / 32768.0f * 0.6f) << "the last pass fades";
    for (int i = 6000; i < 14 * kBlock; ++i) ASSERT_EQ(out[2 * size_t(i)], 0.0f) << "frame " << i;
    EXPECT_FALSE(q->isPlaying());

    // The list says the file ends at 6000 frames; it decodes to three seconds.
    q->setPlan(CuePlan{}, nullptr);
    p->setPlan(
        CuePlan{.volume = 0.0f, .fadeOutFrames = 1000, .fadeOutEnd = 6000, .persistDelay = 0},
        q.get());
    p->setCurrentTime(0.0);
    p->play();
    out = render(14);
    EXPECT_FALSE(p->isPlaying());
    EXPECT_TRUE(q->isPlaying()) << "persist through after the fade-out to the file's end";
    EXPECT_EQ(firstHeard(out), 6001);

    // Over 400 frames of queued sound: the chain counts 1000 from the start heard.
    q->stop();
    render(1);
    p->setPlan(CuePlan{.volume = 0.0f}, q.get());
    p->setCurrentTime(0.0);
    p->play();
    p->followAfter(1000.0 / kRate, true);
    std::vector<float> queued(400 * 2, 0.0f);
    ASSERT_TRUE(engine.mixer().startEarly(queued.data(), 400));
    out = render(2);
    EXPECT_EQ(firstHeard(out), 601);
    // A stop sent with a start would act only past the queued sound: no early start then.
    p->stop();
    render(1);
    p->setCurrentTime(0.0);
    p->play();
    q->stop();
    EXPECT_FALSE(engine.mixer().startEarly(queued.data(), 400));
    p->stop();
}

// A cue's chain to a cue that leaves is unlinked, however many voices there are.
TEST(MixerChains, AChainToARemovedVoiceIsCleared) {
    Mixer mixer(48000, 2);
    Voice a(1, "", 48000), b(2, "", 48000), c(3, "", 48000);
    for (Voice* v : {&a, &b, &c}) mixer.send({MixerCommand::Type::Add, v});
    MixerCommand plan{MixerCommand::Type::SetPlan, &c};
    plan.plan.next = &a;
    mixer.send(plan);
    mixer.send({MixerCommand::Type::Remove, &a});
    mixer.applyCommands();
    EXPECT_EQ(c.rt.plan.next, nullptr);
}

TEST_F(OfflinePlayerTest, PlayThenSeekStartsAtTheSeekInTheFirstBlock) {
    const auto path = file("index.wav");
    testfiles::writeIndexWav(path, kRate, kRate * 4);
    auto p = open(path);
    ASSERT_TRUE(p);
    p->play();
    p->setCurrentTime(2.5);  // a trimmed cue: play, then seek to its start
    auto out = render(1);
    EXPECT_EQ(testfiles::indexOf(out[0]), (int64_t(2.5 * kRate)) % 32768);
    p->stop();
    p->setCurrentTime(0);
    p->prepareToPlay();
    render(1);
}

TEST_F(OfflinePlayerTest, FadeIsALinearPerSampleRampFromThePresentGain) {
    const auto path = file("dc.wav");
    testfiles::writeWav16(path, kRate, 2, kRate, [](int64_t, int) { return 0.5f; });
    auto p = open(path);
    ASSERT_TRUE(p);
    p->setVolume(0.0f);
    p->play();
    const double seconds = 0.1;
    const int rampFrames = int(seconds * kRate);
    p->setVolume(0.8f, seconds);
    auto out = render(rampFrames / kBlock + 3);
    // Gain of each frame, from the left channel of a constant 0.5.
    std::vector<double> gain;
    for (size_t i = 0; i < out.size() / 2; ++i) gain.push_back(out[2 * i] / 0.5);
    const double share = 0.8 / rampFrames;
    EXPECT_NEAR(gain[0], 0.0, 1e-6);
    for (int i = 1; i < rampFrames; ++i) {
        ASSERT_NEAR(gain[size_t(i)] - gain[size_t(i) - 1], share, 1e-5) << "frame " << i;
        ASSERT_NEAR(gain[size_t(i)], share * i, 1e-4) << "frame " << i;
    }
    // At the target at the requested time, and it stays there.
    for (size_t i = size_t(rampFrames); i < gain.size(); ++i) ASSERT_NEAR(gain[i], 0.8, 1e-6);
    EXPECT_FLOAT_EQ(p->currentGain(), 0.8f);

    // A new fade starts from the present gain, mid-ramp, without a jump.
    p->setVolume(0.0f, 0.05);
    out = render(2);
    EXPECT_NEAR(out[0] / 0.5, 0.8, 1e-3);
    EXPECT_LT(out[2 * (2 * kBlock - 1)] / 0.5,
              0.8 - 0.8 * (2.0 * kBlock - 2) / (0.05 * kRate) + 1e-3);
}

TEST_F(OfflinePlayerTest, StopAndSeekGoWithoutAStep) {
    const auto path = file("dc.wav");
    testfiles::writeWav16(path, kRate, 2, kRate, [](int64_t, int) { return 0.5f; });
    auto p = open(path);
    p->setVolume(0.8f);
    p->play();
    render(2);
    p->stop();
    // The reset a cue does right after a stop must not lift the falling tail.
    p->setVolume(1.0f);
    p->setCurrentTime(0.0);
    const auto out = render(2);
    float previous = 0.4f;
    for (size_t i = 0; i < out.size(); i += 2) {
        ASSERT_LE(out[i], previous) << i;
        ASSERT_LT(previous - out[i], 0.4f / 100) << "a step at frame " << i / 2;
        previous = out[i];
    }
    EXPECT_EQ(out[2 * 200], 0.0f);
    EXPECT_FALSE(p->isPlaying());

    // A seek while playing crosses over from the old place to the new in a few ms.
    const auto split = file("split.wav");
    testfiles::writeWav16(split, kRate, 2, 2 * kRate,
                          [](int64_t i, int) { return i < kRate ? 0.5f : -0.5f; });
    auto q = open(split);
    q->play();
    render(2);
    q->setCurrentTime(1.5);
    const auto crossed = render(2);
    for (size_t i = 0; i < crossed.size(); i += 2)
        ASSERT_LT(std::abs(crossed[i] - (i > 0 ? crossed[i - 2] : 0.5f)), 1.0f / 50)
            << "a step at frame " << i / 2;
    EXPECT_FLOAT_EQ(crossed.back(), -0.5f);
}

TEST_F(OfflinePlayerTest, PanKeepsTheSignalAtCentreAndSilencesTheFarSide) {
    const auto path = file("tone.wav");
    testfiles::writeToneWav(path, kRate, 1.0, 440.0, 0.5f);
    auto reference = open(path);
    ASSERT_TRUE(reference);
    reference->setVolume(0.7f);
    reference->play();
    const auto centre = render(4);
    reference->stop();

    // The raw samples, at gain 1 and centre, as the decoder sees them.
    auto raw = open(path);
    raw->play();
    reference.reset();
    const auto unity = render(4);
    raw.reset();  // gone at once: no stop tail in what follows
    for (size_t i = 0; i < centre.size(); ++i) ASSERT_EQ(centre[i], unity[i] * 0.7f) << i;

    for (float pan : {1.0f, -1.0f, 0.5f}) {
        auto p = open(path);
        p->setPan(pan);
        p->play();
        const auto out = render(4);
        double left = 0, right = 0;
        for (size_t i = 0; i < out.size(); i += 2) {
            left += std::abs(out[i]);
            right += std::abs(out[i + 1]);
        }
        if (pan == 1.0f) {
            EXPECT_EQ(left, 0.0);
            EXPECT_GT(right, 0.0);
        } else if (pan == -1.0f) {
            EXPECT_EQ(right, 0.0);
            EXPECT_GT(left, 0.0);
        } else {
            // Off centre: the near side is untouched, the far side lowered, nothing boosted.
            for (size_t i = 0; i < out.size(); i += 2) ASSERT_EQ(out[i + 1], unity[i + 1]);
            EXPECT_LT(left, right);
            EXPECT_GT(left, 0.5 * right);
        }
        p->stop();
    }
}

TEST_F(OfflinePlayerTest, LoopsPlayNPlusOneSeamlessPassesThenEndOnce) {
    const int frames = 10000;  // not a multiple of the block or the chunk
    const auto path = file("short.wav");
    testfiles::writeIndexWav(path, kRate, frames);
    auto p = open(path);
    ASSERT_TRUE(p);
    EndCounter delegate;
    p->setDelegate(&delegate);
    p->setNumberOfLoops(2);
    p->play();
    const int blocks = (3 * frames) / kBlock + 4;
    const auto out = render(blocks);
    for (int i = 0; i < 3 * frames; ++i)
        ASSERT_EQ(testfiles::indexOf(out[2 * size_t(i)]), i % frames) << "frame " << i;
    for (size_t i = size_t(3 * frames) * 2; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f);
    EXPECT_FALSE(p->isPlaying());
    EXPECT_EQ(p->currentTime(), 0.0);
    settle();
    EXPECT_EQ(delegate.ends, 1);
    EXPECT_EQ(delegate.last, p.get());

    // Played again once through: one more end.
    p->setNumberOfLoops(0);
    p->play();
    render(frames / kBlock + 2);
    settle();
    EXPECT_EQ(delegate.ends, 2);
}

// An end the audio thread reached is heard once, also when the GUI learns of it late (after a
// seek), but never after stop() and never after a restart has superseded it.
TEST_F(OfflinePlayerTest, EndEventsAndWhatSupersedesThem) {
    const auto path = file("short.wav");
    testfiles::writeIndexWav(path, kRate, 3000);
    auto p = open(path);
    EndCounter delegate;
    p->setDelegate(&delegate);
    p->play();
    render(4);
    p->stop();
    render(20);
    settle();
    EXPECT_EQ(delegate.ends, 0);

    // Stopped after the audio thread reached the end but before the GUI heard it.
    p->setCurrentTime(0);
    p->play();
    render(20);
    p->stop();
    settle();
    EXPECT_EQ(delegate.ends, 0);
    EXPECT_FALSE(p->isPlaying());

    // Ended, unheard, then seeked and prepared: still heard, and the seek holds.
    p->play();
    render(20);
    EXPECT_FALSE(p->isPlaying());
    EXPECT_EQ(p->currentTime(), 0.0);
    p->setCurrentTime(0.01);
    p->prepareToPlay();
    EXPECT_DOUBLE_EQ(p->currentTime(), 0.01);
    settle();
    EXPECT_EQ(delegate.ends, 1);

    // Ended, unheard, then restarted: that end is gone.
    p->play();
    render(20);
    p->play();
    settle();
    EXPECT_EQ(delegate.ends, 1);
    EXPECT_TRUE(p->isPlaying());
    p->stop();
}

TEST_F(OfflinePlayerTest, InfiniteLoopRunsUntilStop) {
    const auto path = file("short.wav");
    testfiles::writeIndexWav(path, kRate, 2000);
    auto p = open(path);
    EndCounter delegate;
    p->setDelegate(&delegate);
    p->setNumberOfLoops(-1);
    p->play();
    const auto out = render(40);
    for (int i = 0; i < 40 * kBlock; ++i)
        ASSERT_EQ(testfiles::indexOf(out[2 * size_t(i)]), i % 2000);
    EXPECT_TRUE(p->isPlaying());
    p->stop();
    settle();
    EXPECT_EQ(delegate.ends, 0);
}

TEST_F(OfflinePlayerTest, StoppedPlayersHoldBoundedResources) {
    const auto path = file("long.wav");
    testfiles::writeToneWav(path, kRate, 20.0, 220.0, 0.3f);
    auto countFds = [] {
        int n = 0;
        for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
        return n;
    };
    const int before = countFds();
    std::vector<std::unique_ptr<AudioPlayer>> players;
    for (int i = 0; i < 300; ++i) players.push_back(open(path));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_LT(countFds() - before, 10);
    // A 20 s file plays from disk: past the first minute of chunks, all still exact.
    players[0]->setCurrentTime(15.0);
    players[0]->play();
    const auto out = render(8);
    EXPECT_GT(std::abs(out[200]), 0.0f);
    EXPECT_TRUE(players[0]->isPlaying());
}

TEST_F(OfflinePlayerTest, AFileDeletedUnderAStoppedPlayerEndsItsNextRun) {
    const auto path = file("long.wav");
    testfiles::writeToneWav(path, kRate, 5.0, 220.0, 0.3f);
    auto p = open(path);
    EndCounter delegate;
    p->setDelegate(&delegate);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the player closes its file
    std::filesystem::remove(path);
    p->setNumberOfLoops(-1);
    p->play();
    render(200);  // more than what was decoded before the file went
    EXPECT_FALSE(p->isPlaying());
    settle();
    EXPECT_EQ(delegate.ends, 1);
}

// The stored file is deleted or cut short by something else while its cue plays: what is left
// plays, then the run ends once with its end event; a cut file ends early.
TEST_F(OfflinePlayerTest, AFileDeletedOrTruncatedWhilePlayingEndsItsRun) {
    for (const bool truncate : {false, true}) {
        SCOPED_TRACE(truncate ? "truncated" : "deleted");
        const auto path = file("playing.wav");
        testfiles::writeToneWav(path, kRate, 4.0, 220.0, 0.3f);
        auto p = open(path);
        EndCounter delegate;
        p->setDelegate(&delegate);
        p->play();
        render(50);  // about half a second
        if (truncate)
            std::filesystem::resize_file(path, 44 + kRate);  // a quarter of a second left
        else
            std::filesystem::remove(path);
        render(truncate ? 200 : 350);  // to 2.7 s, or past the file's 4 s
        EXPECT_FALSE(p->isPlaying());
        settle();
        EXPECT_EQ(delegate.ends, 1);
    }
}

// A looping cue whose file goes away (deleted, or its folder moved) while it plays: no crash
// when the loop needs the file again, one end and one problem for the operator; once the file
// is back, the next start plays it whole again.
TEST_F(OfflinePlayerTest, ALoopingCueWhoseFileGoesEndsOnceAndPlaysAgainWhenItIsBack) {
    std::vector<std::string> problems;
    engine.setProblemHandler([&](const std::string& line) { problems.push_back(line); });
    const int frames = kRate * 3;  // longer than a player keeps decoded
    for (const bool deleted : {true, false}) {
        SCOPED_TRACE(deleted ? "deleted and written again" : "moved away and back");
        problems.clear();
        const auto path = file("loop.wav");
        const auto away = file("elsewhere.wav");
        testfiles::writeIndexWav(path, kRate, frames);
        auto p = open(path);
        ASSERT_TRUE(p);
        EndCounter delegate;
        p->setDelegate(&delegate);
        p->setNumberOfLoops(-1);
        p->play();
        render(20);
        if (deleted)
            std::filesystem::remove(path);
        else
            std::filesystem::rename(path, away);
        render(2 * frames / kBlock);  // through the end and into the loop
        EXPECT_FALSE(p->isPlaying());
        settle();
        EXPECT_EQ(delegate.ends, 1);
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_NE(problems[0].find("loop.wav"), std::string::npos) << problems[0];

        if (deleted)
            testfiles::writeIndexWav(path, kRate, frames);
        else
            std::filesystem::rename(away, path);
        p->setCurrentTime(0.0);
        p->prepareToPlay();
        p->setNumberOfLoops(0);
        p->play();
        const auto out = render(frames / kBlock + 3);
        for (int i = 0; i < frames; ++i)
            ASSERT_EQ(testfiles::indexOf(out[2 * size_t(i)]), i % 32768) << "frame " << i;
        for (size_t i = size_t(frames) * 2; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f) << i;
        settle();
        EXPECT_EQ(delegate.ends, 2);
        EXPECT_EQ(problems.size(), 1u);
    }
}

// A hand-edited volume far out of range beside a normal cue: the gains applied stay within
// 0...1, and the mix stays finite and bounded, so the other cues are still heard.
TEST_F(OfflinePlayerTest, OutOfRangeVolumesAreHeldWithinFullGain) {
    const auto path = file("tone.wav");
    testfiles::writeToneWav(path, kRate, 2.0, 440.0, 0.5f);
    auto huge = open(path);
    auto large = open(path);
    auto normal = open(path);
    auto notANumber = open(path);
    huge->setVolume(std::numeric_limits<float>::infinity());  // 1e39 read as a float
    large->setVolume(1000.0f);
    normal->setVolume(0.5f);
    notANumber->setVolume(std::nanf(""));
    for (auto* p : {huge.get(), large.get(), normal.get(), notANumber.get()}) p->play();
    auto out = render(20);
    // A fade toward an out-of-range level stops at full gain too.
    large->setVolume(1e6f, 0.05);
    const auto faded = render(20);
    out.insert(out.end(), faded.begin(), faded.end());
    float peak = 0.0f;
    for (float s : out) {
        ASSERT_TRUE(std::isfinite(s));
        peak = std::max(peak, std::abs(s));
    }
    EXPECT_LE(peak, 0.5f * 2.5f + 1e-3f);
    EXPECT_GT(peak, 0.5f * 2.4f);
    EXPECT_EQ(huge->currentGain(), 1.0f);
    EXPECT_EQ(large->currentGain(), 1.0f);
    EXPECT_EQ(notANumber->currentGain(), 0.0f);
    EXPECT_EQ(large->volume(), 1e6f);  // what was asked for is kept
}

TEST_F(OfflinePlayerTest, BadFilesFailCleanly) {
    std::string error;
    EXPECT_FALSE(AudioPlayer::initWithContentsOfURL(file("missing.wav"), &error, &engine));
    EXPECT_FALSE(error.empty());

    testfiles::writeAll(file("empty.wav"), "");
    EXPECT_FALSE(AudioPlayer::initWithContentsOfURL(file("empty.wav"), nullptr, &engine));

    testfiles::writeAll(file("notes.mp3"), "These are the stage manager's notes, not audio.\n");
    EXPECT_FALSE(AudioPlayer::initWithContentsOfURL(file("notes.mp3"), nullptr, &engine));

    std::string garbage(20000, '\0');
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = char((i * 7919) % 251);
    testfiles::writeAll(file("song.sd2"), garbage);
    EXPECT_FALSE(AudioPlayer::initWithContentsOfURL(file("song.sd2"), nullptr, &engine));

    // Truncated: a FLAC cut inside its header, a WAV cut right after its header.
    testfiles::writeToneWav(file("tone.wav"), kRate, 1.0, 440.0, 0.5f);
    ASSERT_TRUE(testfiles::ffmpegConvert(file("tone.wav"), file("tone.flac"), ""));
    const auto flac = testfiles::readAll(file("tone.flac"));
    testfiles::writeAll(file("cut.flac"), flac.substr(0, 30));
    EXPECT_FALSE(AudioPlayer::initWithContentsOfURL(file("cut.flac"), nullptr, &engine));
    const auto wav = testfiles::readAll(file("tone.wav"));
    testfiles::writeAll(file("cut.wav"), wav.substr(0, 44));
    EXPECT_FALSE(AudioPlayer::initWithContentsOfURL(file("cut.wav"), nullptr, &engine));

    EXPECT_FALSE(AudioPlayer::initWithContentsOfURL(dir.path().toStdString(), nullptr, &engine));

    // The empty player is harmless.
    AudioPlayer empty;
    EXPECT_FALSE(empty.play());
    empty.stop();
    empty.setVolume(0.5f, 1.0);
    empty.setCurrentTime(3.0);
    EXPECT_EQ(empty.duration(), 0.0);
    EXPECT_FALSE(empty.isPlaying());
}

}  // namespace
