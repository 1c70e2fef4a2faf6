#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "audio/AudioDecoder.h"
#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"
#include "support/OfflineEngine.h"
#include "support/TestFiles.h"

namespace {

constexpr int kRate = 48000;

struct Level {
    double left = 0, right = 0;  // RMS
    double hz = 0;               // of the left channel, from its rising zero crossings
};

// Counts rising zero crossings, placed between samples by linear interpolation, so the
// frequency is exact to far better than the half a percent a wrong rate would be off.
double frequencyOf(const std::vector<float>& stereo, int rate) {
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = 2; i < stereo.size(); i += 2) {
        const float a = stereo[i - 2], b = stereo[i];
        if (a < 0.0f && b >= 0.0f) {
            const double at = double(i / 2 - 1) + double(a) / double(a - b);
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * rate / (last - first) : 0.0;
}

class FormatsTest : public ::testing::Test {
protected:
    FormatsTest() : engine(AudioEngine::Mode::Offline, kRate) {
        source = path("source.wav");
        // One second of 440 Hz at half scale, at 44.1 kHz so that every format is resampled.
        testfiles::writeToneWav(source, 44100, 1.0, 440.0, 0.5f);
    }

    std::string path(const std::string& name) {
        return dir.filePath(QString::fromStdString(name)).toStdString();
    }

    // Plays the middle of the file and measures it.
    Level measure(AudioPlayer& p) {
        p.setCurrentTime(0.25);
        p.play();
        constexpr int kBlocks = 60;
        std::vector<float> out(size_t(AudioEngine::kBlockFrames) * 2 * kBlocks);
        for (int b = 0; b < kBlocks; ++b)
            engine.renderOffline(out.data() + size_t(b) * AudioEngine::kBlockFrames * 2,
                                 AudioEngine::kBlockFrames);
        p.stop();
        std::vector<float> tail(size_t(AudioEngine::kBlockFrames) * 2);
        engine.renderOffline(tail.data(), AudioEngine::kBlockFrames);  // the stop's short tail
        Level level;
        for (size_t i = 0; i < out.size(); i += 2) {
            level.left += double(out[i]) * out[i];
            level.right += double(out[i + 1]) * out[i + 1];
        }
        const double frames = double(out.size() / 2);
        level.left = std::sqrt(level.left / frames);
        level.right = std::sqrt(level.right / frames);
        level.hz = frequencyOf(out, kRate);
        return level;
    }

    // Plays the file from its start until the player says it has ended; the frames rendered
    // until then, to within kPiece.
    int64_t framesUntilTheEnd(AudioPlayer& p) {
        p.setCurrentTime(0.0);
        p.play();
        std::vector<float> piece(size_t(kPiece) * 2);
        int64_t frames = 0;
        while (p.isPlaying() && frames < 10 * kRate) {
            engine.renderOffline(piece.data(), kPiece);
            frames += kPiece;
        }
        return frames;
    }
    static constexpr int kPiece = 32;

    QTemporaryDir dir;
    AudioEngine engine;
    std::string source;
};

TEST_F(FormatsTest, EveryImportFormatOpensAndPlaysAtItsLevel) {
    const struct {
        const char* name;
        const char* args;
    } formats[] = {
        {"tone.wav", ""},
        {"tone.aif", "-f aiff"},
        {"tone.aiff", "-f aiff"},
        {"tone.aifc", "-f aiff -c:a pcm_f32be"},
        {"tone.caf", "-f caf"},
        {"tone.snd", "-f au"},
        {"tone.au", "-f au"},
        {"tone.flac", ""},
        {"tone.mp3", "-c:a libmp3lame -b:a 192k"},
        {"tone.aac", "-c:a aac -f adts"},
        {"tone.adts", "-c:a aac -f adts"},
        {"tone.m4a", "-c:a aac"},
        {"tone.mp4", "-c:a aac"},
        {"tone.ac3", "-c:a ac3"},
        {"tone.ogg", "-c:a libvorbis"},
        {"alac.m4a", "-c:a alac"},
        {"alac.caf", "-f caf -c:a alac"},
    };
    const double expected = 0.5 / std::sqrt(2.0);
    for (const auto& f : formats) {
        SCOPED_TRACE(f.name);
        ASSERT_TRUE(testfiles::ffmpegConvert(source, path(f.name), f.args));
        std::string error;
        auto p = AudioPlayer::initWithContentsOfURL(path(f.name), &error, &engine);
        ASSERT_TRUE(p) << error;
        // Lossy formats add their encoder's padding; never more than a few frames' worth.
        EXPECT_NEAR(p->duration(), 1.0, 0.08);
        const Level level = measure(*p);
        EXPECT_NEAR(level.left, expected, expected * 0.05);
        EXPECT_NEAR(level.right, expected, expected * 0.05);
        // At the wrong rate a 44.1 kHz file plays 8.8 % fast and sharp, at the right level.
        EXPECT_NEAR(level.hz, 440.0, 440.0 * 0.005);

        const int64_t decoded = testfiles::decodedFrames(path(f.name));
        ASSERT_GT(decoded, 0);
        const double expectedFrames = double(decoded) * kRate / 44100;
        const int64_t played = framesUntilTheEnd(*p);
        EXPECT_NEAR(double(played), expectedFrames, expectedFrames * 0.005);
        // The end reaches the delegate once, after the audio thread got there.
        EndCounter ends;
        p->setDelegate(&ends);
        settleEvents();
        EXPECT_EQ(ends.ends, 1);
        p->setDelegate(nullptr);
    }
}

TEST_F(FormatsTest, MonoPlaysOnBothSidesAndSurroundIsFoldedToStereo) {
    testfiles::writeToneWav(path("mono.wav"), kRate, 1.0, 440.0, 0.5f, 1);
    auto mono = AudioPlayer::initWithContentsOfURL(path("mono.wav"), nullptr, &engine);
    ASSERT_TRUE(mono);
    const Level m = measure(*mono);
    EXPECT_NEAR(m.left, 0.5 / std::sqrt(2.0), 0.005);
    EXPECT_DOUBLE_EQ(m.left, m.right);

    // Six channels, the tone on the front left only.
    testfiles::writeWav16(path("surround.wav"), kRate, 6, kRate, [](int64_t i, int c) {
        return c == 0 ? 0.5f * float(std::sin(2.0 * M_PI * 440.0 * double(i) / kRate)) : 0.0f;
    });
    auto surround = AudioPlayer::initWithContentsOfURL(path("surround.wav"), nullptr, &engine);
    ASSERT_TRUE(surround);
    const Level s = measure(*surround);
    EXPECT_GT(s.left, 0.05);
    EXPECT_LT(s.right, s.left * 0.01);

    // The tone at 0.9 on all six channels: each side keeps the file's level rather than
    // summing the front, centre and surround past full scale. The LFE alone is not heard.
    for (const int lfeOnly : {0, 1}) {
        const std::string name = lfeOnly ? "lfe.wav" : "full.wav";
        testfiles::writeWav16(path(name), kRate, 6, kRate, [lfeOnly](int64_t i, int c) {
            const float tone = 0.9f * float(std::sin(2.0 * M_PI * 440.0 * double(i) / kRate));
            return !lfeOnly || c == 3 ? tone : 0.0f;
        });
        auto player = AudioPlayer::initWithContentsOfURL(path(name), nullptr, &engine);
        ASSERT_TRUE(player);
        const Level l = measure(*player);
        const double expected = lfeOnly ? 0.0 : 0.9 / std::sqrt(2.0);
        EXPECT_NEAR(l.left, expected, 0.01) << name;
        EXPECT_NEAR(l.right, expected, 0.01) << name;
    }
}

TEST_F(FormatsTest, DurationIsExactForPcmAndStableForCompressed) {
    const int64_t frames = 44100 * 2 + 1234;
    testfiles::writeToneWav(path("odd.wav"), 44100, double(frames) / 44100, 330.0, 0.4f);
    ASSERT_TRUE(testfiles::ffmpegConvert(path("odd.wav"), path("odd.flac"), ""));
    for (const char* name : {"odd.wav", "odd.flac"}) {
        auto p = AudioPlayer::initWithContentsOfURL(path(name), nullptr, &engine);
        ASSERT_TRUE(p) << name;
        EXPECT_EQ(p->duration(), double(frames) / 44100) << name;
    }
    ASSERT_TRUE(testfiles::ffmpegConvert(path("odd.wav"), path("odd.mp3"), "-c:a libmp3lame"));
    ASSERT_TRUE(testfiles::ffmpegConvert(path("odd.wav"), path("odd.aac"), "-c:a aac -f adts"));
    ASSERT_TRUE(testfiles::ffmpegConvert(path("odd.wav"), path("odd.m4a"), "-c:a aac"));
    for (const char* name : {"odd.mp3", "odd.aac", "odd.m4a"}) {
        auto first = AudioPlayer::initWithContentsOfURL(path(name), nullptr, &engine);
        ASSERT_TRUE(first) << name;
        const double d = first->duration();
        first.reset();
        for (int i = 0; i < 3; ++i) {
            auto again = AudioPlayer::initWithContentsOfURL(path(name), nullptr, &engine);
            EXPECT_EQ(again->duration(), d) << name;
        }
        EXPECT_NEAR(d, double(frames) / 44100, 0.1) << name;
    }
}

// Containers that state no length (ADTS, an MP3 without its Xing frame): the length reported is
// within one codec frame of what decoding yields, not the header's bitrate guess.
TEST_F(FormatsTest, DurationMatchesTheDecodedLengthWithoutALengthInTheHeaders) {
    // A minute whose loudness changes, so a VBR encoder's bitrate changes along the file.
    testfiles::writeWav16(path("minute.wav"), 44100, 2, 44100 * 60, [](int64_t i, int) {
        const double t = double(i) / 44100;
        const double level = t < 20 ? 0.001 : (t < 40 ? 0.6 : 0.05);
        return float(level * std::sin(2 * M_PI * (220.0 + 40 * std::floor(t)) * t));
    });
    const struct {
        const char* name;
        const char* args;
        int frameSamples;
    } files[] = {
        {"minute.aac", "-c:a aac -f adts", 1024},
        {"minute.mp3", "-c:a libmp3lame -q:a 4 -write_xing 0", 1152},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        ASSERT_TRUE(testfiles::ffmpegConvert(path("minute.wav"), path(f.name), f.args));
        auto p = AudioPlayer::initWithContentsOfURL(path(f.name), nullptr, &engine);
        ASSERT_TRUE(p);
        auto decoder = AudioDecoder::open(path(f.name), kRate, nullptr);
        ASSERT_TRUE(decoder);
        int64_t frames = 0;
        bool atEnd = false;
        while (!atEnd) frames += decoder->read(nullptr, 1 << 16, &atEnd);
        const double decoded = double(frames) / kRate;
        EXPECT_NEAR(decoded, 60.0, 0.1);
        EXPECT_NEAR(p->duration(), decoded, double(f.frameSamples) / 44100);
    }
}

}  // namespace
