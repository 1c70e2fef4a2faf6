// Changes made to a cue while it plays, and the commands of a Go as the audio thread sees them.
#include <gtest/gtest.h>

#include <QTest>

#include <QCoreApplication>
#include <QEventLoop>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>
#include <cmath>
#include <filesystem>
#include <functional>
#include <thread>

#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"
#include "audio/Mixer.h"
#include "support/OfflineEngine.h"
#include "support/TestFiles.h"

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = AudioEngine::kBlockFrames;

class LiveChangesTest : public OfflineEngineTest {
protected:
    // Runs `work` as the GUI runs a button's handler: inside the event loop, which goes on
    // until the events it posted are handled.
    void inEventHandler(const std::function<void()>& work) {
        QEventLoop loop;
        QTimer::singleShot(0, &loop, [&] {
            work();
            QTimer::singleShot(0, &loop, &QEventLoop::quit);
        });
        loop.exec();
    }
};

// The audio callback may run between any two commands of a Go. Whatever it renders there, a
// trimmed cue never sounds the part of its file before its start time; the file's opening is
// negative on the left, the rest positive, so one sample from before the start shows.
TEST_F(LiveChangesTest, TrimmedGoNeverSoundsTheFilesOpening) {
    const auto path = file("trimmed.wav");
    const int64_t startFrame = kRate * 5 / 2;
    testfiles::writeWav16(path, kRate, 2, kRate * 4, [&](int64_t i, int) {
        return i < startFrame ? -0.5f : 0.25f + float(i % 100) / 1000.0f;
    });
    auto p = open(path);
    ASSERT_TRUE(p);
    std::vector<float> block(size_t(kBlock) * 2);
    int hookRenders = 0;
    float lowest = 0.0f;
    const auto unhook = qScopeGuard([&] { engine.mixer().setAfterSend(nullptr); });
    engine.mixer().setAfterSend([&] {
        engine.mixer().process(block.data(), kBlock);  // as a device callback: no waiting
        ++hookRenders;
        for (size_t i = 0; i < block.size(); i += 2) lowest = std::min(lowest, block[i]);
    });
    const std::function<void()> gos[] = {
        [&] {
            p->play();
            p->setCurrentTime(2.5);
        },
        [&] {  // with a fade-in, as a cue without a tracked fade starts
            p->setVolume(0.0f);
            p->play();
            p->setVolume(1.0f, 0.05);
            p->setCurrentTime(2.5);
        },
    };
    for (int round = 0; round < 2; ++round) {  // the second start is served from memory
        for (const auto& go : gos) {
            inEventHandler(go);
            const auto out = render(8);
            // From the start time on (a fade-in's first sample is silent).
            EXPECT_NEAR(p->currentTime(), 2.5 + 8.0 * kBlock / kRate, 1e-9);
            EXPECT_GT(out[2], 0.0f);
            for (size_t i = 0; i < out.size(); i += 2) ASSERT_GE(out[i], 0.0f) << i / 2;
            inEventHandler([&] {
                p->stop();
                p->setVolume(1.0f);
                p->setCurrentTime(0.0);
                p->prepareToPlay();
            });
            render(2);
        }
    }
    EXPECT_GE(hookRenders, 12);  // one after each command of the Gos
    EXPECT_EQ(lowest, 0.0f) << "a sample from before the start time was heard";
}

// Dragging the volume slider on a playing tone: every change glides over a block, so the
// recording has no step beyond the tone's own slope plus one block's share of the change.
TEST_F(LiveChangesTest, VolumeDragGlidesWithoutSteps) {
    const auto path = file("tone.wav");
    const double hz = 440.0, amplitude = 0.5;
    testfiles::writeToneWav(path, kRate, 3.0, hz, float(amplitude));
    auto p = open(path);
    ASSERT_TRUE(p);
    p->setVolume(0.2f);
    p->play();
    std::vector<float> out;
    float previous = 0.2f, biggestChange = 0.0f;
    for (int b = 0; b < 60; ++b) {
        // A drag: small moves and jumps up and down, one per block as slider events come.
        const float v = float(0.55 + 0.45 * std::sin(b * 1.7));
        biggestChange = std::max(biggestChange, std::abs(v - previous));
        previous = v;
        p->setVolume(v);
        const auto block = render(1);
        out.insert(out.end(), block.begin(), block.end());
    }
    const double toneSlope = 2 * M_PI * hz / kRate * amplitude;
    const double glideStep = amplitude * biggestChange / Mixer::kGainGlideFrames;
    double worst = 0.0;
    for (size_t i = 2; i < out.size(); i += 2)
        worst = std::max(worst, double(std::abs(out[i] - out[i - 2])));
    EXPECT_LE(worst, toneSlope + glideStep + 1e-4);
    EXPECT_GT(biggestChange, 0.5f);  // the drag did jump

    // What the player reports is exact once the glide has run.
    p->setVolume(0.3f);
    render(2);
    EXPECT_EQ(p->volume(), 0.3f);
    EXPECT_EQ(p->currentGain(), 0.3f);
}

// A repeat count changed in the editor while the cue plays counts in the run under way.
TEST_F(LiveChangesTest, RepeatCountChangedWhilePlayingTakesEffectAtOnce) {
    const int frames = 10000;
    const auto path = file("short.wav");
    testfiles::writeIndexWav(path, kRate, frames);
    auto p = open(path);
    ASSERT_TRUE(p);
    EndCounter delegate;
    p->setDelegate(&delegate);

    // Once through, switched to "Infinite" halfway: it plays on past the end, seamlessly.
    p->play();
    auto out = render(10);
    p->setNumberOfLoops(-1);
    const auto more = render(100);
    out.insert(out.end(), more.begin(), more.end());
    for (int i = 0; i < 110 * kBlock; ++i)
        ASSERT_EQ(testfiles::indexOf(out[2 * size_t(i)]), i % frames) << "frame " << i;
    EXPECT_TRUE(p->isPlaying());

    // Back to once: the pass under way is the last one.
    p->setNumberOfLoops(0);
    const int64_t played = 110 * kBlock;
    const int64_t endsAt = (played / frames + 1) * frames;
    out = render(int((endsAt - played) / kBlock) + 4);
    const int64_t left = endsAt - played;
    for (int64_t i = 0; i < left; ++i)
        ASSERT_EQ(testfiles::indexOf(out[2 * size_t(i)]), (played + i) % frames) << i;
    for (size_t i = size_t(left) * 2; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f) << i;
    EXPECT_FALSE(p->isPlaying());
    settle();
    EXPECT_EQ(delegate.ends, 1);

    // Three repeats cut to one after two passes: the pass under way ends the run.
    p->setNumberOfLoops(3);
    p->play();
    render(2 * frames / kBlock + 2);  // into the third pass
    p->setNumberOfLoops(1);
    render(frames / kBlock + 2);
    EXPECT_FALSE(p->isPlaying());
    settle();
    EXPECT_EQ(delegate.ends, 2);
}

// A later import replaces a stored file (written aside and renamed over it). Every player of
// that name plays the new file whole: from its first frame to its own end, at its own length.
TEST_F(LiveChangesTest, ReplacedFilePlaysTheNewFileWhole) {
    const auto path = file("song.wav");
    testfiles::writeIndexWav(path, kRate, kRate * 2);  // 2 s, positive on the left
    auto stopped = open(path);
    auto playing = open(path);
    auto unaware = open(path);
    ASSERT_TRUE(stopped && playing && unaware);
    EndCounter delegate;
    stopped->setDelegate(&delegate);
    // What a stopped cue keeps decoded is the old file's start.
    stopped->play();
    render(4);
    stopped->stop();
    stopped->setCurrentTime(0.0);
    stopped->prepareToPlay();
    playing->play();
    render(50);
    const double at = playing->currentTime();

    // 3 s, negative on the left: indexOf() gives minus the frame.
    auto replace = [&] {
        const auto aside = file("song.wav.new");
        testfiles::writeWav16(aside, kRate, 2, kRate * 3, [](int64_t i, int c) {
            const float v = float(i % 32768) / 32768.0f;
            return c == 0 ? -v : v;
        });
        std::filesystem::rename(aside, path);
    };
    replace();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(engine.fileReplaced(path), 3);
    EXPECT_EQ(stopped->duration(), 3.0);

    // The playing one goes on where it was, in the new file.
    auto out = render(2);
    const int64_t from = std::llround(at * kRate);
    for (int i = 0; i < 2 * kBlock; ++i)
        ASSERT_EQ(testfiles::indexOf(out[2 * size_t(i)]), -((from + i) % 32768)) << i;
    playing->stop();
    render(1);

    stopped->play();
    const int blocks = 3 * kRate / kBlock + 4;
    out = render(blocks);
    for (int i = 0; i < 3 * kRate; ++i)
        ASSERT_EQ(testfiles::indexOf(out[2 * size_t(i)]), -(i % 32768)) << "frame " << i;
    for (size_t i = size_t(3 * kRate) * 2; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f) << i;
    settle();
    EXPECT_EQ(delegate.ends, 1);

    // Replaced again, and nobody says so: the engine sees the folder change and reads it again
    // before the next start, which itself touches no file.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    testfiles::writeIndexWav(file("song.wav.new"), kRate, kRate);  // 1 s, positive again
    std::filesystem::rename(file("song.wav.new"), path);
    ASSERT_TRUE(QTest::qWaitFor([&] { return unaware->duration() == 1.0; }, 5000));
    unaware->play();
    out = render(kRate / kBlock + 4);
    for (int i = 0; i < kRate; ++i)
        ASSERT_EQ(testfiles::indexOf(out[2 * size_t(i)]), i % 32768) << "frame " << i;
    for (size_t i = size_t(kRate) * 2; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f) << i;
    EXPECT_EQ(unaware->duration(), 1.0);
    EXPECT_FALSE(unaware->isPlaying());
}

}  // namespace
