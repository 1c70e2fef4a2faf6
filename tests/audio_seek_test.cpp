// Seeks far into long files of every format, read back from what the mixer renders: the landing
// point from samples that name their own position, and the chunks after it without a break.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cmath>
#include <filesystem>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"
#include "support/TestFiles.h"
#include "support/TimeCode.h"

namespace {

constexpr int kRate = 48000;
constexpr double kLength = 120.0;
constexpr double kTarget = 90.0;
// Long enough to run through more decoded chunks than a voice caches.
constexpr int kAfterSeek = 3 * kRate;

struct Format {
    const char* name;
    const char* args;
};

class SeekTest : public ::testing::Test {
protected:
    SeekTest() : engine(AudioEngine::Mode::Offline, kRate) {}

    std::string path(const std::string& name) {
        return dir.filePath(QString::fromStdString(name)).toStdString();
    }

    // Interleaved stereo from `from` seconds on (0 plays from the start, without a seek).
    std::vector<float> playFrom(AudioPlayer& p, double from, int frames) {
        if (from > 0) p.setCurrentTime(from);
        p.play();
        std::vector<float> out(size_t(frames) * 2);
        for (int done = 0; done < frames; done += AudioEngine::kBlockFrames)
            engine.renderOffline(out.data() + size_t(done) * 2,
                                 std::min(AudioEngine::kBlockFrames, frames - done));
        p.stop();
        std::vector<float> tail(size_t(AudioEngine::kBlockFrames) * 2);
        engine.renderOffline(tail.data(), AudioEngine::kBlockFrames);
        return out;
    }

    QTemporaryDir dir;
    AudioEngine engine;
};

// Frame i of the file holds i itself: the low 15 bits on the left, the rest on the right, so
// a landing point reads back exactly, however far off it is.
void writeFrameNumbers(const std::string& file, int64_t frames) {
    testfiles::writeWav16(file, kRate, 2, frames, [](int64_t i, int c) {
        return float(c == 0 ? i % 32768 : i / 32768) / 32768.0f;
    });
}
int64_t frameNumber(const float* stereo) {
    return std::lround(double(stereo[0]) * 32768.0) +
           32768 * std::lround(double(stereo[1]) * 32768.0);
}

TEST_F(SeekTest, LosslessFilesLandOnTheFrameAndPlayOnUnbroken) {
    const std::string source = path("numbers.wav");
    writeFrameNumbers(source, int64_t(kLength * kRate));
    const Format formats[] = {
        {"n.wav", "-c copy"},
        {"n.aiff", "-f aiff"},
        {"n.aifc", "-f aiff -c:a pcm_f32be"},
        {"n.caf", "-f caf"},
        {"n.au", "-f au"},
        {"n.flac", ""},
        {"alac.m4a", "-c:a alac"},
        {"alac.caf", "-f caf -c:a alac"},
    };
    const int64_t target = int64_t(kTarget * kRate);
    for (const Format& f : formats) {
        SCOPED_TRACE(f.name);
        ASSERT_TRUE(testfiles::ffmpegConvert(source, path(f.name), f.args));
        auto p = AudioPlayer::initWithContentsOfURL(path(f.name), nullptr, &engine);
        ASSERT_TRUE(p);
        const auto out = playFrom(*p, kTarget, kAfterSeek);
        EXPECT_EQ(frameNumber(out.data()), target);
        int breaks = 0;
        for (int i = 1; i < kAfterSeek && breaks < 3; ++i) {
            const int64_t n = frameNumber(out.data() + 2 * size_t(i));
            if (n != target + i) {
                ADD_FAILURE() << "frame " << i << " after the seek is file frame " << n;
                ++breaks;
            }
        }
        p.reset();
        std::filesystem::remove(path(f.name));
    }
}

// Reads the landing point from the file's own time code and compares it with where playing
// through from the start puts the same position, so a decoder's delay counts the same on both.
class LossySeekTest : public SeekTest {
protected:
    static constexpr int kWindow = kRate / 2;
    // Past a lossy decoder's first frames, which may be its priming.
    static constexpr int kSkip = kRate / 10;

    LossySeekTest() {
        // At 44.1 kHz, so the resampler is on the way too.
        source = path("timecode.wav");
        timecode::writeWav(source, 44100, kLength);
    }

    double timeAt(const std::vector<float>& out, int frame) {
        return timecode::read(out.data() + 2 * size_t(frame), kWindow, 2, kRate);
    }

    void checkSeek(const std::string& name) {
        SCOPED_TRACE(name);
        auto p = AudioPlayer::initWithContentsOfURL(path(name), nullptr, &engine);
        ASSERT_TRUE(p);
        const double start = timeAt(playFrom(*p, 0.0, kSkip + kWindow), kSkip);
        const auto out = playFrom(*p, kTarget, kAfterSeek);
        const double landed = timeAt(out, kSkip);
        EXPECT_NEAR(timecode::difference(landed, start + kTarget), 0.0, 0.005)
            << "landed at " << landed - kSkip / double(kRate) << " s of the file";
        // Each half second after it is half a second further on: not one frame lost or doubled.
        for (int w = 1; kSkip + (w + 1) * kWindow <= kAfterSeek; ++w) {
            const double at = timeAt(out, kSkip + w * kWindow);
            EXPECT_NEAR(timecode::difference(at, landed + w * 0.5), 0.0, 10e-6)
                << "half-second " << w << " after the seek";
        }
    }

    std::string source;
};

TEST_F(LossySeekTest, LossyFilesLandWithinFiveMillisecondsAndPlayOnUnbroken) {
    const Format formats[] = {
        {"t.m4a", "-c:a aac -aac_coder fast -b:a 64k"},
        {"t.mp3", "-c:a libmp3lame -b:a 128k -compression_level 9"},
        {"t.ogg", "-c:a libvorbis -q:a 4"},
    };
    for (const Format& f : formats) {
        ASSERT_TRUE(testfiles::ffmpegConvert(source, path(f.name), f.args));
        checkSeek(f.name);
    }
    // ADTS: the MPEG-4 file's stream without its container, which spares a second slow encode.
    ASSERT_TRUE(testfiles::ffmpegConvert(path("t.m4a"), path("t.aac"), "-c:a copy -f adts"));
    checkSeek("t.aac");
}

// Raw AC-3 lands about 20 ms past the place playing through reaches: after a seek the demuxer's
// timestamps are off by that much (the ffmpeg command line's -ss lands at the same place), and
// the decoder trusts them. Enable once the decoder finds its place in raw AC-3 another way.
TEST_F(LossySeekTest, DISABLED_RawAc3LandsWithinFiveMilliseconds) {
    ASSERT_TRUE(testfiles::ffmpegConvert(source, path("t.ac3"), "-c:a ac3"));
    checkSeek("t.ac3");
}

}  // namespace
