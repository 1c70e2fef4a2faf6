#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"

// Counts a player's end events; `last` is the player of the newest.
struct EndCounter : AudioPlayerDelegate {
    int ends = 0;
    AudioPlayer* last = nullptr;
    void audioPlayerDidFinishPlaying(AudioPlayer* player, bool) override {
        ++ends;
        last = player;
    }
};

// End events travel through the Qt event loop.
inline void settleEvents() {
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// An engine rendered block by block on the test's own thread, with a scratch folder for the
// files its players open.
class OfflineEngineTest : public ::testing::Test {
protected:
    static constexpr int kRate = 48000;
    static constexpr int kBlock = AudioEngine::kBlockFrames;

    OfflineEngineTest() : engine(AudioEngine::Mode::Offline, kRate) {}

    std::string file(const std::string& name) {
        return dir.filePath(QString::fromStdString(name)).toStdString();
    }

    std::unique_ptr<AudioPlayer> open(const std::string& path) {
        std::string error;
        auto p = AudioPlayer::initWithContentsOfURL(path, &error, &engine);
        EXPECT_TRUE(p) << error;
        return p;
    }

    // Interleaved stereo, `blocks` whole blocks.
    std::vector<float> render(int blocks) {
        std::vector<float> out(size_t(blocks) * kBlock * 2);
        for (int b = 0; b < blocks; ++b)
            engine.renderOffline(out.data() + size_t(b) * kBlock * 2, kBlock);
        return out;
    }

    void settle() { settleEvents(); }

    QTemporaryDir dir;
    AudioEngine engine;
};
