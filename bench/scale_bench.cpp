// Scale: show files of 500 and 2,000 cues (start-up to the first painted table, scrolling, memory,
// idle CPU over 10 s) and 64 cues playing at once through the output. Targets: start-up under 3 s,
// idle under 1 % of a core, no underruns. Run with a sound server up (scripts/soundbox.sh) to play
// through a device; without one the engine keeps time on its silent clock. Test files are kept
// in /tmp/cuevox-bench.
#include <benchmark/benchmark.h>
#include <portaudio.h>
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "ProcessStatus.h"
#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"
#include "support/TablePaging.h"
#include "support/TempHome.h"
#include "support/TestFiles.h"
#include "window/CueTableView.h"
#include "window/MainWindow.h"
#include "window/ViewController.h"

namespace fs = std::filesystem;

namespace {

const std::string kDir = "/tmp/cuevox-bench";

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop for `ms` as the program's would: asleep until something is due.
void runEventLoop(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A show's material: 40 different 5 s files in four formats.
std::vector<std::string> showFiles() {
    fs::create_directories(kDir);
    const char* formats[][2] = {
        {"wav", ""}, {"mp3", "-c:a libmp3lame"}, {"flac", ""}, {"m4a", "-c:a aac"}};
    std::vector<std::string> out;
    for (int i = 0; i < 40; ++i) {
        const std::string master = kDir + "/scale-" + std::to_string(i) + ".src.wav";
        const std::string path = kDir + "/scale-" + std::to_string(i) + "." + formats[i % 4][0];
        if (!fs::exists(path)) {
            testfiles::writeToneWav(master, 44100, 5.0, 200.0 + 20 * i, 0.2f);
            testfiles::ffmpegConvert(master, path, formats[i % 4][1]);
        }
        out.push_back(path);
    }
    return out;
}

// Notes the first time the table's viewport paints.
class FirstPaint : public QObject {
public:
    bool painted = false;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) painted = true;
        return false;
    }
};

// The floor under the idle figure: a bare PortAudio stream on the default output with the
// engine's rate, block and latency, its callback writing silence, nothing else in the process.
// Registered first, so it runs before the shared engine opens its own stream.
void BM_BareOutputStream(benchmark::State& state) {
    for (auto _ : state) {
        if (Pa_Initialize() != paNoError) {
            state.SkipWithError("no PortAudio");
            break;
        }
        const PaDeviceIndex device = Pa_GetDefaultOutputDevice();
        const PaDeviceInfo* info = device == paNoDevice ? nullptr : Pa_GetDeviceInfo(device);
        PaStream* stream = nullptr;
        if (info) {
            PaStreamParameters params{};
            params.device = device;
            params.channelCount = 2;
            params.sampleFormat = paFloat32;
            params.suggestedLatency = info->defaultLowOutputLatency;
            auto silence = [](const void*, void* out, unsigned long frames,
                              const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void*) {
                std::fill_n(static_cast<float*>(out), frames * 2, 0.0f);
                return int(paContinue);
            };
            if (Pa_OpenStream(&stream, nullptr, &params, AudioEngine::kDefaultSampleRate,
                              AudioEngine::kBlockFrames, paNoFlag, silence, nullptr) != paNoError ||
                Pa_StartStream(stream) != paNoError)
                stream = nullptr;
        }
        if (!stream) {
            Pa_Terminate();
            state.SkipWithError("no output device");
            break;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double cpuStart = cpuSeconds();
        const auto wallStart = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        state.counters["idle_core_pct"] = (cpuSeconds() - cpuStart) / wall * 100.0;
        Pa_AbortStream(stream);
        Pa_CloseStream(stream);
        Pa_Terminate();
    }
}
BENCHMARK(BM_BareOutputStream)->Iterations(1)->Repetitions(3)->Unit(benchmark::kSecond);

void BM_CueShow(benchmark::State& state) {
    const auto files = showFiles();
    TempHome home;
    if (!home.isolated()) {
        state.SkipWithError(home.isolationProblem().c_str());
        return;
    }
    const std::string docs = home.docs();
    fs::create_directories(docs + "/audio");
    for (size_t i = 0; i < files.size(); ++i)
        fs::copy_file(files[i], docs + "/audio/" + fs::path(files[i]).filename().string());
    nlohmann::json list = nlohmann::json::array();
    const int cues = int(state.range(0));
    for (int i = 0; i < cues; ++i)
        list.push_back({{"fileName", fs::path(files[size_t(i) % files.size()]).filename()},
                        {"audioTitle", "Cue " + std::to_string(i + 1)},
                        {"fadeIn", i % 3 == 0}});
    testfiles::writeAll(docs + "/cuevox.json", list.dump(2));
    AudioEngine::shared();  // the output device opens once per program, not per window

    for (auto _ : state) {
        const long rssBefore = residentKb();
        QElapsedTimer clock;
        clock.start();
        auto window = std::make_unique<MainWindow>();
        CueTableView& table = *window->controller().audioTable();
        FirstPaint paint;
        table.viewport()->installEventFilter(&paint);
        window->resize(1000, 700);
        window->show();
        while (!paint.painted) QApplication::processEvents(QEventLoop::AllEvents, 5);
        const double startupMs = clock.nsecsElapsed() / 1e6;
        if (table.numberOfRows() != cues) state.SkipWithError("not every cue loaded");

        const PagingTimes paging =
            pageToTheEndAndBack(table, [] { QApplication::processEvents(); });
        const long rssOpen = residentKb();

        // Idle: the window shown, nothing playing, the event loop and the engine running.
        runEventLoop(1000);
        const double cpuStart = cpuSeconds();
        const auto threadsStart = threadCpuNs();
        QElapsedTimer idle;
        idle.start();
        runEventLoop(10000);
        const double idleSeconds = idle.nsecsElapsed() / 1e9;
        const double idleCore = (cpuSeconds() - cpuStart) / idleSeconds;
        // Where the idle time goes, by thread: the GUI (named after the program), our audio
        // threads (cuevox-*), and the sound server's client library (threaded-ml).
        for (const auto& [name, ns] : threadCpuNs()) {
            const auto before = threadsStart.find(name);
            const int64_t used = ns - (before == threadsStart.end() ? 0 : before->second);
            if (used > 0) state.counters["idle_pct_" + name] = used / 1e9 / idleSeconds * 100.0;
        }

        state.counters["startup_ms"] = startupMs;
        state.counters["scroll_page_mean_ms"] = paging.totalMs / std::max(paging.steps, 1);
        state.counters["scroll_page_worst_ms"] = paging.worstMs;
        state.counters["rss_MB"] = rssOpen / 1024.0;
        state.counters["rss_growth_MB"] = (rssOpen - rssBefore) / 1024.0;
        state.counters["idle_core_pct"] = idleCore * 100.0;
        window.reset();
        runEventLoop(50);
    }
}
BENCHMARK(BM_CueShow)->Arg(500)->Arg(2000)->Iterations(1)->Repetitions(3)->Unit(benchmark::kSecond);

void BM_SixtyFourCuesAtOnce(benchmark::State& state) {
    const auto files = showFiles();
    for (auto _ : state) {
        AudioEngine engine(AudioEngine::Mode::Device);
        for (int i = 0; i < 100 && !engine.outputDeviceActive(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::vector<std::unique_ptr<AudioPlayer>> players;
        for (int i = 0; i < 64; ++i) {
            players.push_back(AudioPlayer::initWithContentsOfURL(files[size_t(i) % files.size()],
                                                                 nullptr, &engine));
            players.back()->setVolume(1.0f / 64);
            players.back()->setNumberOfLoops(-1);  // 5 s files: keep all 64 going
        }
        for (auto& p : players) p->play();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        int stillPlaying = 0;
        for (auto& p : players) stillPlaying += p->isPlaying();
        state.counters["device"] = engine.outputDeviceActive() ? 1 : 0;
        state.counters["playing_at_end"] = stillPlaying;
        state.counters["output_underflows"] = double(engine.outputUnderflows());
        state.counters["decoder_underruns"] = double(engine.decoderUnderruns());
    }
}
BENCHMARK(BM_SixtyFourCuesAtOnce)->Iterations(1)->Repetitions(3)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
