// Feeds arbitrary bytes to the player as an audio file: open, prepare, a second of playback
// rendered offline, a seek, and more playback. The file has no extension, so FFmpeg picks the
// demuxer from the content alone, as it does for a stored file with a misleading name.
// Besides crashes, it checks that what reaches the output is a finite signal: one NaN from a
// broken file would silence every other cue in the mix.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"
#include "support/TestFiles.h"

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = AudioEngine::kBlockFrames;
QTemporaryDir* scratch = nullptr;

void renderSeconds(AudioEngine& engine, double seconds) {
    std::vector<float> block(size_t(kBlock) * 2);
    for (int done = 0; done < seconds * kRate; done += kBlock) {
        engine.renderOffline(block.data(), kBlock);
        for (float s : block) {
            if (!std::isfinite(s)) {
                std::cerr << "the mix carries a non-finite sample\n";
                abort();
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    const QString base = std::filesystem::exists("/dev/shm") ? "/dev/shm/cuevox-fuzz-XXXXXX" : "";
    scratch = base.isEmpty() ? new QTemporaryDir : new QTemporaryDir(base);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = scratch->filePath("cue").toStdString();
    testfiles::writeAll(path, std::string(reinterpret_cast<const char*>(data), size));

    AudioEngine engine(AudioEngine::Mode::Offline, kRate);
    std::string error;
    auto player = AudioPlayer::initWithContentsOfURL(path, &error, &engine);
    if (!player) return 0;
    const double duration = player->duration();
    if (!std::isfinite(duration) || duration < 0.0) {
        std::cerr << "duration " << duration << "\n";
        abort();
    }
    player->prepareToPlay();
    player->play();
    renderSeconds(engine, 1.0);
    // Into the middle, then past the end: both must be safe whatever the headers claim.
    player->setCurrentTime(duration / 2);
    if (!player->isPlaying()) player->play();
    renderSeconds(engine, 0.25);
    player->setCurrentTime(duration + 1.0);
    renderSeconds(engine, 0.1);
    player->stop();
    return 0;
}
