#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"
#include "support/TestFiles.h"

namespace {

// Plays a tone through the real output path (PortAudio, ALSA, a PulseAudio null sink) and
// records the sink's monitor. The test command starts that PulseAudio server; run by hand
// without it, the test is skipped.
TEST(AudioOutputTest, ToneComesOutOfTheDeviceAtItsLevel) {
    if (!std::getenv("PULSE_SERVER"))
        GTEST_SKIP() << "no PulseAudio server (scripts/test.sh starts one)";
    QTemporaryDir dir;
    const std::string tone = dir.filePath("tone.wav").toStdString();
    testfiles::writeToneWav(tone, 48000, 3.0, 1000.0, 0.5f);

    AudioEngine engine(AudioEngine::Mode::Device);
    ASSERT_EQ(engine.mode(), AudioEngine::Mode::Device) << "the output device did not open";
    auto player = AudioPlayer::initWithContentsOfURL(tone, nullptr, &engine);
    ASSERT_TRUE(player);
    player->setVolume(0.5f);

    QProcess recorder;
    recorder.setStandardOutputFile(dir.filePath("out.raw"));
    recorder.start("parec", {"-d", "soundbox.monitor", "--raw", "--latency-msec=10",
                             "--format=float32le", "--rate=48000", "--channels=2"});
    ASSERT_TRUE(recorder.waitForStarted());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    player->play();
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_TRUE(player->isPlaying());
    EXPECT_NEAR(player->currentTime(), 2.0, 0.3);
    recorder.terminate();
    recorder.waitForFinished();
    player->stop();

    const std::string raw = testfiles::readAll(dir.filePath("out.raw").toStdString());
    const size_t count = raw.size() / sizeof(float);
    ASSERT_GT(count, size_t(48000));
    std::vector<float> samples(count);
    std::memcpy(samples.data(), raw.data(), count * sizeof(float));
    // The loudest 100 ms window: the tone at 0.5 * 0.5 peak, RMS 0.25 / sqrt(2).
    const size_t window = 4800 * 2;
    double best = 0;
    for (size_t start = 0; start + window <= samples.size(); start += window) {
        double sum = 0;
        for (size_t i = start; i < start + window; ++i) sum += double(samples[i]) * samples[i];
        best = std::max(best, std::sqrt(sum / window));
    }
    EXPECT_NEAR(best, 0.25 / std::sqrt(2.0), 0.02);
}

}  // namespace
