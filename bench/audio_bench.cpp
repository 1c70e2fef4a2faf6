// Benchmarks of the playback engine: mixing cost, decode throughput against the ffmpeg command
// line, start latency (offline, and through the device from idle), and opening many players. Test
// files are generated on first run into /tmp/cuevox-bench.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ProcessStatus.h"
#include "audio/AudioDecoder.h"
#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"
#include "support/TestFiles.h"

namespace {

const std::string kDir = "/tmp/cuevox-bench";
constexpr int kRate = 48000;
// The block the targets are stated for, whatever block the engine runs its device with.
constexpr int kBlock = 256;

std::string benchFile(const std::string& name) {
    std::filesystem::create_directories(kDir);
    const std::string path = kDir + "/" + name;
    if (std::filesystem::exists(path)) return path;
    const std::string master = kDir + "/master-180s.wav";
    if (!std::filesystem::exists(master)) {
        // Three minutes of a chord with a little noise, at 44.1 kHz so decoding also resamples.
        uint32_t seed = 1;
        testfiles::writeWav16(master, 44100, 2, int64_t(44100) * 180, [&](int64_t i, int c) {
            seed = seed * 1664525u + 1013904223u;
            const double t = double(i) / 44100;
            return float(0.2 * std::sin(2 * M_PI * (220.0 + c) * t) +
                         0.1 * std::sin(2 * M_PI * 330.0 * t) +
                         0.02 * (double(seed >> 8) / double(1 << 24) - 0.5));
        });
    }
    if (name == "master-180s.wav") return master;
    std::string args;
    if (name.ends_with(".mp3")) args = "-c:a libmp3lame -b:a 192k";
    if (name.ends_with(".m4a")) args = "-c:a aac -b:a 192k";
    // No length in the headers: an ADTS stream, and a VBR MP3 without its Xing frame.
    if (name.ends_with(".aac")) args = "-c:a aac -b:a 192k -f adts";
    if (name.ends_with("-noxing.mp3")) args = "-c:a libmp3lame -q:a 2 -write_xing 0";
    testfiles::ffmpegConvert(master, path, args);
    return path;
}

std::string fileFor(int kind) {
    switch (kind) {
        case 0:
            return benchFile("song.mp3");
        case 1:
            return benchFile("song.flac");
        case 2:
            return benchFile("song.m4a");
        default:
            return benchFile("master-180s.wav");
    }
}

const char* kindName(int kind) {
    static const char* names[] = {"mp3", "flac", "aac", "wav"};
    return names[kind];
}

// Cost of one 256-frame block with N stereo voices playing, each with a gain ramp and an
// off-centre pan running, mixed to C output channels with the voices spread over them in
// pairs (the meters of every channel measured too). The voices loop a file short enough to
// stay wholly in their caches, so the block measures mixing and nothing else.
void BM_MixBlock(benchmark::State& state) {
    const int voices = int(state.range(0));
    const int channels = int(state.range(1));
    const std::string path = kDir + "/loop.wav";
    std::filesystem::create_directories(kDir);
    testfiles::writeToneWav(path, kRate, 0.2, 440.0, 0.5f);
    AudioEngine engine(AudioEngine::Mode::Offline, kRate);
    std::vector<std::unique_ptr<AudioPlayer>> players;
    for (int i = 0; i < voices; ++i) {
        players.push_back(AudioPlayer::initWithContentsOfURL(path, nullptr, &engine));
        players.back()->setNumberOfLoops(-1);
        players.back()->setPan(0.3f);
        players.back()->setRoute((2 * i) % channels, (2 * i + 1) % channels);
        players.back()->play();
        players.back()->setVolume(0.0f, 10000.0);  // a ramp that runs through the benchmark
    }
    std::vector<float> out(size_t(kBlock) * size_t(channels));
    engine.renderOffline(out.data(), kBlock, true, channels);
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        engine.renderOffline(out.data(), kBlock, true, channels);
        benchmark::DoNotOptimize(out.data());
    }
    const double perBlock =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() /
        double(state.iterations());
    const double budget = double(kBlock) / kRate;
    state.SetLabel("wall time = " + std::to_string(100.0 * perBlock / budget) +
                   " % of the block's real-time budget");
}
BENCHMARK(BM_MixBlock)
    ->ArgNames({"voices", "outputs"})
    ->ArgsProduct({{1, 16, 64}, {2, 8, 16}})
    ->Unit(benchmark::kMicrosecond);

// Decoding and resampling a whole 3-minute file as the workers do.
void BM_DecodeOurs(benchmark::State& state) {
    const std::string path = fileFor(int(state.range(0)));
    std::vector<float> buf(size_t(4096) * 2);
    for (auto _ : state) {
        auto d = AudioDecoder::open(path, kRate, nullptr);
        bool end = false;
        int64_t frames = 0;
        while (!end) frames += d->read(buf.data(), 4096, &end);
        benchmark::DoNotOptimize(frames);
    }
    state.SetLabel(kindName(int(state.range(0))));
}
BENCHMARK(BM_DecodeOurs)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// The same file through `ffmpeg -i FILE -f null -`, timed in the same run for the ratio.
void BM_DecodeFfmpegCli(benchmark::State& state) {
    const std::string path = fileFor(int(state.range(0)));
    const std::string cmd =
        "ffmpeg -nostdin -loglevel error -threads 1 -i '" + path + "' -f null -";
    // The child's CPU time too: on a shared machine it compares fairly with ours.
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    for (auto _ : state) benchmark::DoNotOptimize(testfiles::run(cmd));
    getrusage(RUSAGE_CHILDREN, &after);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    const double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) +
                       seconds(after.ru_stime) - seconds(before.ru_stime);
    state.counters["child_cpu_ms"] = 1000.0 * cpu / double(state.iterations());
    state.SetLabel(kindName(int(state.range(0))));
}
BENCHMARK(BM_DecodeFfmpegCli)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// From play() on a prepared player to its first sample in the mixer's output, in frames, and
// the wall time of play() plus that block. Args 1 and 2: a trimmed cue (play then seek, or seek
// then play) on its second start, served from the start point kept decoded since the first.
void BM_StartLatency(benchmark::State& state) {
    const int mode = int(state.range(0));
    const bool trimmed = mode != 0;
    AudioEngine engine(AudioEngine::Mode::Offline, kRate);
    auto p = AudioPlayer::initWithContentsOfURL(fileFor(0), nullptr, &engine);
    std::vector<float> out(size_t(kBlock) * 2);
    auto start = [&] {
        if (mode == 2) p->setCurrentTime(60.0);
        p->play();
        if (mode == 1) p->setCurrentTime(60.0);
    };
    auto reset = [&] {
        p->stop();
        p->setCurrentTime(0.0);
        p->prepareToPlay();
    };
    if (trimmed) {  // the first start teaches the player its start point
        start();
        engine.renderOffline(out.data(), kBlock);
        reset();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the workers settle
    double worstFrames = 0;
    for (auto _ : state) {
        start();
        engine.renderOffline(out.data(), kBlock, false);  // as a device callback: no waiting
        state.PauseTiming();
        int first = kBlock;
        for (int i = 0; i < kBlock; ++i)
            if (out[2 * size_t(i)] != 0.0f || out[2 * size_t(i) + 1] != 0.0f) {
                first = i;
                break;
            }
        worstFrames = std::max(worstFrames, double(first));
        reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        state.ResumeTiming();
    }
    state.counters["first_sample_frame_worst"] = worstFrames;
    static const char* labels[] = {"from the start", "trimmed: play, then seek 60 s",
                                   "trimmed: seek 60 s, then play"};
    state.SetLabel(labels[mode]);
}
BENCHMARK(BM_StartLatency)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->Iterations(50);

// A cue fired on an idle engine through the output device: from play() until the device's
// callback has mixed its first block (its position moves on), in milliseconds. The stream's
// output latency comes on top, the same for every block. Each fire follows a second of idle,
// with the workers and the supervisor asleep. Needs a device (scripts/soundbox.sh start).
void BM_DeviceStartFromIdle(benchmark::State& state) {
    AudioEngine engine(AudioEngine::Mode::Device, kRate);
    for (int i = 0; i < 100 && !engine.outputDeviceActive(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!engine.outputDeviceActive()) {
        state.SkipWithError("no output device");
        return;
    }
    auto p = AudioPlayer::initWithContentsOfURL(fileFor(3), nullptr, &engine);
    p->setVolume(0.1f);
    std::vector<double> ms;
    for (auto _ : state) {
        state.PauseTiming();
        p->stop();
        p->setCurrentTime(0.0);
        p->prepareToPlay();
        // A second and a bit: fires land at every phase of the device's block.
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 + 7 * int(ms.size())));
        state.ResumeTiming();
        const auto fired = std::chrono::steady_clock::now();
        p->play();
        while (p->currentTime() == 0.0 &&
               std::chrono::steady_clock::now() - fired < std::chrono::seconds(1))
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - fired)
                .count());
    }
    p->stop();
    std::sort(ms.begin(), ms.end());
    state.counters["to_first_block_median_ms"] = ms[ms.size() / 2];
    state.counters["to_first_block_worst_ms"] = ms.back();
    state.counters["block_ms"] = AudioEngine::kBlockFrames * 1000.0 / kRate;
}
BENCHMARK(BM_DeviceStartFromIdle)->Iterations(20)->Unit(benchmark::kMillisecond);

// Opening one player on a 3-minute file whose headers state its length, and on one whose
// length must be counted from its packets (ADTS, an MP3 without Xing frame): the difference is
// the cost of the count.
void BM_OpenOne(benchmark::State& state) {
    static const char* names[] = {"song.mp3", "song.m4a", "song-noxing.mp3", "song.aac"};
    const std::string path = benchFile(names[state.range(0)]);
    AudioEngine engine(AudioEngine::Mode::Offline, kRate);
    double duration = 0;
    for (auto _ : state) {
        auto p = AudioPlayer::initWithContentsOfURL(path, nullptr, &engine);
        if (!p) state.SkipWithError("open failed");
        duration = p ? p->duration() : 0.0;
    }
    state.counters["duration_s"] = duration;
    state.SetLabel(names[state.range(0)]);
}
BENCHMARK(BM_OpenOne)
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Opening and preparing 500 players on 3-minute files; reports resident memory growth.
void BM_Open500(benchmark::State& state) {
    const std::string path = fileFor(int(state.range(0)));
    const int count = int(state.range(1));
    for (auto _ : state) {
        AudioEngine engine(AudioEngine::Mode::Offline, kRate);
        const long rssBefore = residentKb();
        const auto t0 = std::chrono::steady_clock::now();
        std::vector<std::unique_ptr<AudioPlayer>> players;
        for (int i = 0; i < count; ++i) {
            players.push_back(AudioPlayer::initWithContentsOfURL(path, nullptr, &engine));
            if (!players.back()) state.SkipWithError("open failed");
            players.back()->prepareToPlay();
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int fds = 0;
        for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++fds;
        state.counters["open_s"] = seconds;
        state.counters["rss_growth_MB"] = double(residentKb() - rssBefore) / 1024.0;
        state.counters["open_fds"] = fds;
    }
    state.SetLabel(std::string(kindName(int(state.range(0)))) + " x" + std::to_string(count));
}
BENCHMARK(BM_Open500)
    ->Args({3, 500})
    ->Args({1, 500})
    ->Args({0, 500})
    ->Args({3, 2000})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
