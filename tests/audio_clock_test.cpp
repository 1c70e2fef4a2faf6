#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <thread>

#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"
#include "audio/output/MixRunner.h"
#include "audio/output/SilentClock.h"
#include "support/OfflineEngine.h"
#include "support/TestFiles.h"

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = AudioEngine::kBlockFrames;
using Clock = std::chrono::steady_clock;

// The silent clock paces itself by frames counted from its start: over a year of uninterrupted
// time its deadlines stay exact and keep moving forward.
TEST(SilentClockArithmetic, DeadlinesStayExactOverAYear) {
    for (int rate : {44100, 48000, 96000}) {
        const int64_t year = int64_t(365) * 24 * 3600 * rate;
        int64_t previous = -1;
        // Every block near the start, near the old 53-hour limit, and near the year's end.
        for (int64_t start : {int64_t(0), int64_t(53) * 3600 * rate, year - 1000 * kBlock}) {
            for (int64_t block = 0; block < 1000; ++block) {
                const int64_t frames = start + block * kBlock;
                const int64_t nanos = framesToNanos(frames, rate);
                const __int128 exact = __int128(frames) * 1'000'000'000 / rate;
                ASSERT_EQ(nanos, int64_t(exact)) << frames << " frames at " << rate;
                ASSERT_GT(nanos, previous);
                previous = nanos;
                const int64_t back = nanosToFrames(nanos, rate);
                ASSERT_LE(frames - back, 1);
                ASSERT_GE(frames - back, 0);
            }
        }
        EXPECT_EQ(framesToNanos(year, rate), int64_t(365) * 24 * 3600 * 1'000'000'000);
        EXPECT_EQ(nanosToFrames(int64_t(365) * 24 * 3600 * 1'000'000'000, rate), year);
    }
}

// A keeper without the time may ask to mix at any moment: the owner never loses a block to it.
TEST(MixRunnerTest, AskingWithoutTheTimeNeverSilencesTheOwner) {
    Mixer mixer(kRate);
    MixRunner runner(mixer);
    runner.handTo(MixRunner::kClock + 1);
    std::atomic<bool> stop{false};
    std::vector<float> mine(size_t(kBlock) * 2), theirs(mine.size());
    std::thread other([&] {
        while (!stop.load()) runner.run(MixRunner::kClock, theirs.data(), kBlock);
    });
    int silenced = 0;
    for (int i = 0; i < 200000; ++i)
        silenced += !runner.run(MixRunner::kClock + 1, mine.data(), kBlock);
    stop.store(true);
    other.join();
    EXPECT_EQ(silenced, 0);
}

class RenderedLossTest : public OfflineEngineTest {
protected:
    std::unique_ptr<AudioPlayer> open(const std::string& name, double seconds) {
        const std::string path = file(name);
        testfiles::writeIndexWav(path, kRate, int64_t(seconds * kRate));
        return OfflineEngineTest::open(path);
    }

    // The device stopped pulling `lostFor` ago: the silent clock takes the time from then, as
    // the output does after a loss, and runs a moment. Returns the time it covered.
    double loseDevice(std::chrono::milliseconds lostFor) {
        auto runner = std::make_shared<MixRunner>(engine.mixer());
        runner->handTo(MixRunner::kClock);
        const auto from = Clock::now() - lostFor;
        Clock::time_point stoppedAt;
        {
            SilentClock clock(runner, kRate, kBlock, from);
            std::this_thread::sleep_for(std::chrono::milliseconds(100 * testfiles::kSlowdown));
            runner->handTo(MixRunner::kNobody);
            stoppedAt = Clock::now();
        }
        return std::chrono::duration<double>(stoppedAt - from).count();
    }
};

// 2.5 s without a device, mid-cue: positions come out where the wall clock says, and the cue
// plays on from there without waiting for its decoder.
TEST_F(RenderedLossTest, PositionsFollowTheWallClockThroughALoss) {
    auto player = open("index.wav", 20.0);
    player->play();
    render(int(1.0 * kRate / kBlock));
    const double before = player->currentTime();

    const double lost = loseDevice(std::chrono::milliseconds(2500));
    // The clock mixes at most a block ahead of its time.
    EXPECT_NEAR(player->currentTime() - before, lost, 0.05 * testfiles::kSlowdown);

    const uint64_t underrunsBefore = engine.decoderUnderruns();
    const int64_t at = std::llround(player->currentTime() * kRate);
    const auto out = render(20);
    EXPECT_EQ(engine.decoderUnderruns(), underrunsBefore);
    // What plays next is the file from where the clock left it, frame after frame.
    EXPECT_EQ(testfiles::indexOf(out[0]), at % 32768);
    for (size_t i = 1; i < out.size() / 2; ++i)
        ASSERT_EQ(testfiles::indexOf(out[2 * i]), (at + int64_t(i)) % 32768) << "frame " << i;
}

// A fade and a loop run on through the lost time: the fade has ended when the device is back,
// and the looping cue is where its passes put it. The loop is longer than what decoders read
// ahead, so its end was not yet decoded when the time was lost.
TEST_F(RenderedLossTest, FadesAndLoopsRunOnThroughALoss) {
    constexpr double kLoop = 2.0;
    auto fading = open("fading.wav", 20.0);
    auto looping = open("looping.wav", kLoop);
    looping->setNumberOfLoops(-1);
    fading->play();
    looping->play();
    render(int(0.5 * kRate / kBlock));
    fading->setVolume(0.0f, 1.0);
    render(1);
    const double loopBefore = looping->currentTime();
    const int64_t mixedBefore = engine.mixer().mixFrame();

    loseDevice(std::chrono::milliseconds(2500));
    EXPECT_FLOAT_EQ(fading->currentGain(), 0.0f);
    // The loop is measured against the time the clock kept, not against the wall clock: on a
    // busy machine without real-time threads the clock itself may run late (CI saw 0.07 to
    // 0.32 s), which the wall-clock test above covers.
    const double kept = double(engine.mixer().mixFrame() - mixedBefore) / kRate;
    EXPECT_GT(kept, 2.0);
    const double expected = std::fmod(loopBefore + kept, kLoop);
    const double got = looping->currentTime();
    // Either side of the wrap counts as near. A decoder starved on a busy machine may hold the
    // loop a few blocks; a pass that ran on past the file's end is a second off.
    double diff = std::fabs(got - expected);
    diff = std::min(diff, kLoop - diff);
    EXPECT_LT(diff, 0.15) << "loop at " << got << ", expected " << expected;
    EXPECT_TRUE(looping->isPlaying());
}

}  // namespace
