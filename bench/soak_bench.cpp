// Soak: cues playing at once from disk through the real output device (32 for 60 s, and 8 for
// 5 minutes: bench/load_soak.sh runs that one under CPU load), with a sound server up (e.g.
// scripts/soundbox.sh), reporting output underflows, decoder underruns and resident memory over
// the run. Test files come from /tmp/cuevox-bench.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ProcessStatus.h"
#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"
#include "support/TestFiles.h"

namespace {

const std::string kDir = "/tmp/cuevox-bench";

std::string soakFile(const std::string& ext, const std::string& args) {
    std::filesystem::create_directories(kDir);
    const std::string master = kDir + "/soak-master.wav";
    if (!std::filesystem::exists(master))
        testfiles::writeToneWav(master, 44100, 240.0, 330.0, 0.2f);
    const std::string path = kDir + "/soak." + ext;
    if (!std::filesystem::exists(path)) testfiles::ffmpegConvert(master, path, args);
    return path;
}

void BM_SoakFromDisk(benchmark::State& state) {
    const int seconds = int(state.range(0));
    const int cues = int(state.range(1));
    const std::string files[] = {soakFile("mp3", "-c:a libmp3lame"), soakFile("flac", ""),
                                 soakFile("m4a", "-c:a aac"), soakFile("wav", "")};
    for (auto _ : state) {
        // CUEVOX_OUTPUT picks the output as the settings would ("portaudio:", "pulse:<sink>"),
        // CUEVOX_LATENCY_MS its latency (default 20 ms).
        const char* output = std::getenv("CUEVOX_OUTPUT");
        const char* latencyMs = std::getenv("CUEVOX_LATENCY_MS");
        AudioEngine engine(
            AudioEngine::Mode::Device, AudioEngine::kDefaultSampleRate,
            {output ? output : "",
             latencyMs ? std::atoi(latencyMs) * AudioEngine::kDefaultSampleRate / 1000 : 0});
        for (int i = 0; i < 100 && !engine.outputDeviceActive(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!engine.outputDeviceActive()) state.SkipWithError("no output device");
        std::vector<std::unique_ptr<AudioPlayer>> players;
        for (int i = 0; i < cues; ++i) {
            players.push_back(AudioPlayer::initWithContentsOfURL(files[i % 4], nullptr, &engine));
            players.back()->setVolume(1.0f / float(cues));
            players.back()->setNumberOfLoops(-1);  // however long the run, every cue plays on
        }
        // Each cue reads its own part of its file, and is cued up there first, as a show's
        // cues are: the underruns counted are those of playing from disk, not of cold starts.
        for (int i = 0; i < cues; ++i) players[size_t(i)]->setCurrentTime(i * 5.0);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const uint64_t underrunsBefore = engine.decoderUnderruns();
        const long rssStart = residentKb();
        for (auto& p : players) p->play();
        // Positions should follow the wall clock through whatever the load does to the
        // output: a stall's backlog mixed as sound puts them ahead, a lost stretch behind.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const auto watchFrom = std::chrono::steady_clock::now();
        std::vector<double> startPositions;
        for (auto& p : players) startPositions.push_back(p->currentTime());
        long rssPeak = rssStart, rssAfterFirst10s = 0;
        for (int s = 1; s <= seconds; ++s) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            rssPeak = std::max(rssPeak, residentKb());
            if (s == 10) rssAfterFirst10s = residentKb();
        }
        const double watched =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - watchFrom).count();
        double worstDrift = 0;
        for (size_t i = 0; i < players.size(); ++i) {
            const double length = players[i]->duration();
            double drift = std::fmod(players[i]->currentTime() - startPositions[i] - watched,
                                     length);  // the cues loop
            if (drift > length / 2) drift -= length;
            if (drift < -length / 2) drift += length;
            worstDrift = std::max(worstDrift, std::fabs(drift));
        }
        int stillPlaying = 0;
        for (auto& p : players) stillPlaying += p->isPlaying();
        state.counters["position_drift_ms"] = worstDrift * 1000.0;
        state.counters["playing_at_end"] = stillPlaying;
        state.counters["output_underflows"] = double(engine.outputUnderflows());
        state.counters["decoder_underruns"] = double(engine.decoderUnderruns() - underrunsBefore);
        state.counters["rss_start_MB"] = rssStart / 1024.0;
        state.counters["rss_10s_MB"] = rssAfterFirst10s / 1024.0;
        state.counters["rss_end_MB"] = residentKb() / 1024.0;
        state.counters["rss_peak_MB"] = rssPeak / 1024.0;
    }
}
BENCHMARK(BM_SoakFromDisk)
    ->Args({60, 32})
    ->Args({300, 8})
    ->Args({60, 8})
    ->ArgNames({"seconds", "cues"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
