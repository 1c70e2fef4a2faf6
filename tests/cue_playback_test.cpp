#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QObject>
#include <QTest>

#include "audio/AudioEngine.h"
#include "model/CXAudio.h"
#include "model/RowDisplay.h"
#include "platform/MainQueue.h"
#include "support/TempHome.h"

using nlohmann::json;

namespace {

// Stands in for the window: remembers what the fades asked it to show, and when, and hands
// the engine's fade reports to the cue, as the window does.
class RecordingRows : public RowDisplay, public AudioPlayerDelegate {
public:
    void audioPlayerDidFinishPlaying(AudioPlayer*, bool) override {}
    void audioPlayerTimeline(AudioPlayer* player, const EngineEvent& event) override {
        for (const auto& weak : cues)
            if (auto c = weak.lock(); c && c->player.get() == player) c->fadeEnded(event);
    }
    std::vector<std::weak_ptr<CXAudio>> cues;

    RecordingRows() { clock.start(); }
    void resetRowDisplay(int row) override { resets.push_back({row, clock.elapsed()}); }
    void setPlayButtonTitle(int row, const QString& title) override {
        titles.push_back({row, title.toStdString()});
    }
    QObject* rowDisplayContext() override { return &context; }

    struct Reset {
        int row;
        qint64 at;
    };
    QObject context;
    QElapsedTimer clock;
    std::vector<Reset> resets;
    std::vector<std::pair<int, std::string>> titles;
};

class CuePlayback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isolated()) << home.isolationProblem();
        AudioEngine::shared();
        home.storeTone("tone.wav", 3.0);
    }
    std::shared_ptr<CXAudio> cue(json options) {
        options["fileName"] = "tone.wav";
        options["audioTitle"] = "tone";
        auto c = CXAudio::fromJSON(options);
        c->player->setDelegate(&rows);
        rows.cues.push_back(c);
        return c;
    }
    TempHome home;
    RecordingRows rows;
};

using Titles = std::vector<std::pair<int, std::string>>;

}  // namespace

TEST_F(CuePlayback, FadeInRampsFromSilenceToVolumeThenShowsStop) {
    const auto c =
        cue({{"fadeIn", true}, {"fadeInLength", 0.4}, {"startTime", 0.5}, {"volumeLevel", 0.6}});
    QElapsedTimer clock;
    clock.start();
    c->fadeInToggle(3, &rows);
    EXPECT_TRUE(c->fadingIn);
    EXPECT_TRUE(c->player->isPlaying());
    EXPECT_TRUE(rows.titles.empty());

    std::vector<float> gains;
    while (rows.titles.empty() && clock.elapsed() < 2000) {
        gains.push_back(c->player->currentGain());
        QTest::qWait(25);
    }
    const qint64 shownAt = clock.elapsed();
    ASSERT_GE(gains.size(), 8u);
    EXPECT_LT(gains[1], 0.6f * 0.35f) << "starts from silence";
    EXPECT_TRUE(std::is_sorted(gains.begin() + 1, gains.end()));
    EXPECT_GT(gains[gains.size() / 2], 0.1f);
    EXPECT_LT(gains[gains.size() / 2], 0.55f);

    EXPECT_GE(shownAt, 400) << "the completion ran early";
    EXPECT_EQ(rows.titles, (Titles{{3, "Stop"}}));
    EXPECT_FALSE(c->fadingIn);
    // The ramp runs on the output's samples, the completion on the wall clock: an output that
    // started late on a loaded machine is still finishing the ramp. It ends at the volume.
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return std::abs(c->player->currentGain() - 0.6f) < 1e-4f; }, 1000))
        << c->player->currentGain();
    EXPECT_GT(c->player->currentTime(), 0.5 + 0.35)
        << "the cue must sound from its start time at once, not stall there";
}

TEST_F(CuePlayback, SecondFadeInToggleCutsTheFadeShort) {
    const auto c =
        cue({{"fadeIn", true}, {"fadeInLength", 0.5}, {"startTime", 0.5}, {"volumeLevel", 0.8}});
    c->fadeInToggle(1, &rows);
    QTest::qWait(350);
    ASSERT_GT(c->player->currentTime(), 0.52);
    QElapsedTimer sinceCut;
    sinceCut.start();
    c->fadeInToggle(1, &rows);
    EXPECT_EQ(rows.titles, (Titles{{1, "Stop"}}));
    EXPECT_FALSE(c->fadingIn);
    QTest::qWait(40);
    EXPECT_NEAR(c->player->currentGain(), 0.8f, 1e-4);
    // Measured against the wall clock, not a fixed 40 ms: a loaded machine oversleeps the wait.
    // Without the jump back the position would be 0.35 s further on.
    EXPECT_LT(c->player->currentTime(), 0.5 + sinceCut.elapsed() / 1000.0 + 0.03)
        << "back to the start time";

    QTest::qWait(250);  // past the first fade's completion
    EXPECT_EQ(rows.titles, (Titles{{1, "Stop"}}));
    EXPECT_TRUE(c->player->isPlaying());
}

TEST_F(CuePlayback, FadeOutStopsResetsAndShowsTheRowStopped) {
    const auto c = cue({{"fadeOut", true}, {"fadeOutLength", 0.3}, {"volumeLevel", 0.5}});
    c->playClick();
    QTest::qWait(60);
    QElapsedTimer clock;
    clock.start();
    c->fadeOutToggle(2, &rows);
    EXPECT_TRUE(c->fadingOut);
    QTest::qWait(150);
    EXPECT_GT(c->player->currentGain(), 0.0f);
    EXPECT_LT(c->player->currentGain(), 0.5f);
    EXPECT_TRUE(rows.resets.empty());

    QTRY_VERIFY_WITH_TIMEOUT(!rows.resets.empty(), 2000);
    EXPECT_GE(clock.elapsed(), 300);
    EXPECT_EQ(rows.resets.size(), 1u);
    EXPECT_EQ(rows.resets[0].row, 2);
    EXPECT_FALSE(c->fadingOut);
    EXPECT_FALSE(c->player->isPlaying());
    EXPECT_EQ(c->player->currentTime(), 0.0);
    EXPECT_EQ(c->player->volume(), 0.5f) << "back at the cue's own volume";
    EXPECT_TRUE(rows.titles.empty());
}

TEST_F(CuePlayback, SecondFadeOutToggleStopsAtOnce) {
    const auto c = cue({{"fadeOut", true}, {"fadeOutLength", 0.4}, {"volumeLevel", 0.7}});
    c->playClick();
    c->fadeOutToggle(0, &rows);
    QTest::qWait(100);
    c->fadeOutToggle(0, &rows);
    EXPECT_FALSE(c->player->isPlaying());
    EXPECT_FALSE(c->fadingOut);
    EXPECT_EQ(c->player->currentTime(), 0.0);
    EXPECT_EQ(c->player->volume(), 0.7f);
    ASSERT_EQ(rows.resets.size(), 1u);

    QTest::qWait(450);  // the first completion finds its fade already finished
    EXPECT_EQ(rows.resets.size(), 1u);
}

TEST_F(CuePlayback, TogglesWithoutTheOptionDoNothing) {
    const auto c = cue({{"fadeInLength", 0.1}, {"fadeOutLength", 0.1}});
    c->fadeInToggle(0, &rows);
    c->fadeOutToggle(0, &rows);
    QTest::qWait(200);
    EXPECT_FALSE(c->player->isPlaying());
    EXPECT_FALSE(c->fadingIn || c->fadingOut);
    EXPECT_TRUE(rows.titles.empty());
    EXPECT_TRUE(rows.resets.empty());
}

TEST_F(CuePlayback, PlayClickSeeksOnlyToAStartTimeAfterStarting) {
    const auto plain = cue({{"volumeLevel", 0.9}});
    plain->playClick();
    EXPECT_TRUE(plain->player->isPlaying());
    QTest::qWait(50);
    EXPECT_LT(plain->player->currentTime(), 0.3);
    EXPECT_NEAR(plain->player->currentGain(), 0.9f, 1e-4);

    const auto cut = cue({{"startTime", 1.25}});
    cut->playClick();
    QTest::qWait(50);
    EXPECT_GE(cut->player->currentTime(), 1.25);
    EXPECT_LT(cut->player->currentTime(), 1.6);
}

TEST_F(CuePlayback, PlayClickWithFadeInRampsWithoutAFlag) {
    const auto c = cue({{"fadeIn", true}, {"fadeInLength", 0.3}, {"volumeLevel", 0.5}});
    c->playClick();
    EXPECT_FALSE(c->fadingIn);
    QTest::qWait(60);
    EXPECT_LT(c->player->currentGain(), 0.5f * 0.6f);
    QTest::qWait(350);
    EXPECT_NEAR(c->player->currentGain(), 0.5f, 1e-4);
    EXPECT_FALSE(c->fadingIn);
}

TEST_F(CuePlayback, StopClick) {
    const auto now = cue({{"volumeLevel", 0.4}});
    now->playClick();
    QTest::qWait(50);
    now->stopClick();
    EXPECT_FALSE(now->player->isPlaying());
    EXPECT_EQ(now->player->currentTime(), 0.0);

    // With a fade-out the reset comes after the fade.
    const auto faded = cue({{"fadeOut", true}, {"fadeOutLength", 0.4}, {"volumeLevel", 0.4}});
    faded->playClick();
    QElapsedTimer clock;
    clock.start();
    faded->stopClick();
    EXPECT_FALSE(faded->fadingOut);
    QTest::qWait(100);
    EXPECT_LT(faded->player->currentGain(), 0.4f);
    QTRY_VERIFY_WITH_TIMEOUT(!faded->player->isPlaying(), 2000);
    EXPECT_GE(clock.elapsed(), 400);
    EXPECT_EQ(faded->player->currentTime(), 0.0);
    EXPECT_EQ(faded->player->volume(), 0.4f);

    // Started again during that fade, the cue is a new run: back to its level, and the earlier
    // stop's reset no longer comes.
    faded->playClick();
    faded->stopClick();
    QTest::qWait(100);
    faded->playClick();
    QTest::qWait(500);
    EXPECT_TRUE(faded->player->isPlaying());
    // The gain is the one the mixer applied last: a device held up by a loaded machine may not
    // have run since.
    QTRY_VERIFY_WITH_TIMEOUT(std::abs(faded->player->currentGain() - 0.4f) < 1e-4, 3000);
    EXPECT_TRUE(faded->player->isPlaying());
}

TEST_F(CuePlayback, EachStartIsARunThatEarlierCompletionsLeaveAlone) {
    const auto c = cue({{"fadeIn", true},
                        {"fadeInLength", 0.3},
                        {"fadeOut", true},
                        {"fadeOutLength", 0.3},
                        {"volumeLevel", 0.5}});
    // A fade-out stop cut short, then a new start that fades out again: the first fade-out's
    // completion comes during the second fade and must not end it early.
    c->playClick();
    c->fadeOutToggle(0, &rows);
    QTest::qWait(150);
    c->fadeOutToggle(0, &rows);
    ASSERT_EQ(rows.resets.size(), 1u);
    c->playClick();
    QTest::qWait(100);
    c->fadeOutToggle(0, &rows);
    QTest::qWait(120);  // the first completion is due now
    EXPECT_TRUE(c->player->isPlaying());
    EXPECT_TRUE(c->fadingOut);
    EXPECT_EQ(rows.resets.size(), 1u);
    QTRY_VERIFY_WITH_TIMEOUT(!c->player->isPlaying(), 2000);
    EXPECT_EQ(rows.resets.size(), 2u);

    // The same for a fade-in stopped and started again: the first completion shows nothing.
    rows.titles.clear();
    c->fadeInToggle(4, &rows);
    QTest::qWait(150);
    c->resetPlayer();
    EXPECT_FALSE(c->fadingIn);
    c->fadeInToggle(4, &rows);
    QTest::qWait(200);  // past the first fade-in's end
    EXPECT_TRUE(rows.titles.empty());
    EXPECT_TRUE(c->fadingIn);
    QTRY_VERIFY_WITH_TIMEOUT(!rows.titles.empty(), 2000);
    EXPECT_EQ(rows.titles, (Titles{{4, "Stop"}}));
    EXPECT_FALSE(c->fadingIn);
}

TEST_F(CuePlayback, StopsAndFadeOutsEndARunningFadeIn) {
    const auto c = cue({{"fadeIn", true},
                        {"fadeInLength", 0.4},
                        {"fadeOut", true},
                        {"fadeOutLength", 0.2},
                        {"volumeLevel", 0.5}});
    // The reset ends every fade.
    c->fadeInToggle(1, &rows);
    c->resetPlayer();
    EXPECT_FALSE(c->fadingIn || c->fadingOut);
    // A fade-out takes over from the fade-in: the fade-in's completion does not show "Stop".
    c->fadeInToggle(1, &rows);
    QTest::qWait(100);
    c->fadeOutToggle(1, &rows);
    EXPECT_FALSE(c->fadingIn);
    EXPECT_TRUE(c->fadingOut);
    QTest::qWait(500);
    EXPECT_TRUE(rows.titles.empty());
    EXPECT_FALSE(c->player->isPlaying());
    EXPECT_FALSE(c->fadingIn || c->fadingOut);
}

TEST_F(CuePlayback, CueLetGoDuringItsFadeStopsAndShowsNothing) {
    std::weak_ptr<CXAudio> watch;
    {
        const auto c = cue({{"fadeIn", true}, {"fadeInLength", 0.2}});
        c->fadeInToggle(5, &rows);
        watch = c;
    }
    // Nothing but the list held it: its player went with it, so no fade's end can come.
    EXPECT_TRUE(watch.expired());
    QTest::qWait(400);
    EXPECT_TRUE(rows.titles.empty());
}

TEST_F(CuePlayback, CompletionIsDroppedWithTheWindow) {
    std::weak_ptr<CXAudio> watch;
    {
        auto window = std::make_unique<RecordingRows>();
        const auto c = cue({{"fadeOut", true}, {"fadeOutLength", 0.2}});
        c->playClick();
        c->fadeOutToggle(0, window.get());
        watch = c;
    }
    QTRY_VERIFY_WITH_TIMEOUT(watch.expired(), 1000);
}

TEST(MainQueueTest, DelaysRoundUpAndNeverRunEarly) {
    EXPECT_EQ(MainQueue::delayMilliseconds(0.3), 300);
    EXPECT_EQ(MainQueue::delayMilliseconds(0.0011), 2);
    EXPECT_EQ(MainQueue::delayMilliseconds(-1.0), 0);
    EXPECT_EQ(MainQueue::delayMilliseconds(1e12), std::numeric_limits<int>::max());

    QObject context;
    QElapsedTimer clock;
    clock.start();
    std::vector<std::pair<int, qint64>> ran;
    for (const double s : {0.25, 0.037, 2.1, 0.001, 0.037})
        MainQueue::runAfter(s, &context, [&, ms = int(s * 1000)] {
            ran.push_back({ms, clock.elapsed()});
        });
    bool async = false;
    MainQueue::runAsync(&context, [&] { async = true; });
    EXPECT_FALSE(async) << "runs from the event loop, not inline";
    QTRY_VERIFY_WITH_TIMEOUT(ran.size() == 5, 4000);
    EXPECT_TRUE(async);
    for (const auto& [ms, at] : ran) EXPECT_GE(at, ms);
    // A coarse timer would be allowed to fire the 2.1 s one about 100 ms early.
    EXPECT_EQ(ran.back().first, 2100);
    std::vector<int> order;
    for (const auto& r : ran) order.push_back(r.first);
    EXPECT_EQ(order, (std::vector<int>{1, 37, 37, 250, 2100}));
}
