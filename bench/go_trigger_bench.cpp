// The Cuevox side of bench/go_latency.py: the engine the program plays through, driven line by
// line on standard input. Each Go prints the monotonic time taken just before play(), so the
// script can measure from there to the first sample at the sound server's sink.
//   open PATH [START]   load a cue (START: its start time, sought to before each Go, as a
//                       trimmed cue does)
//   bed PATH            with every Go, PATH starts quietly 1.5 s before the cue (a stream in
//                       its stride) and stops with it: Go while another cue plays
//   go                  prints "t <ns>", then plays the cue
//   stop                stops it; prints "stopped <decoder underruns> <output underflows>"
//   quit
// No Google Benchmark here: the timing is taken outside, at the sink.
//   go_trigger_bench [LATENCY_MS]   the output latency asked for (default: the program's)
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"

int main(int argc, char** argv) {
    if (argc > 1) {
        const int ms = std::atoi(argv[1]);
        AudioEngine::configureShared({"", ms * AudioEngine::kDefaultSampleRate / 1000}, {});
    }
    AudioEngine& engine = AudioEngine::shared();
    std::unique_ptr<AudioPlayer> player;
    std::unique_ptr<AudioPlayer> bed;
    double start = 0.0;
    // The file named next on the line, or nothing (said on standard output).
    auto load = [&engine](std::istringstream& words) {
        std::string path, error;
        words >> path;
        auto loaded = AudioPlayer::initWithContentsOfURL(path, &error, &engine);
        if (!loaded) std::cout << "error " << error << std::endl;
        return loaded;
    };
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        if (verb == "open") {
            player = load(words);
            start = 0.0;
            words >> start;
            if (!player) continue;
            if (start > 0.0) player->setCurrentTime(start);
            player->prepareToPlay();
            for (int i = 0; i < 100 && !engine.outputDeviceActive(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::cout << "ready " << engine.activeOutputDevice() << std::endl;
        } else if (verb == "bed") {
            bed = load(words);
            if (!bed) continue;
            bed->setNumberOfLoops(-1);
            bed->setVolume(0.04f);
            bed->prepareToPlay();
            std::cout << "bed" << std::endl;
        } else if (verb == "go" && player) {
            if (bed) {
                bed->play();
                std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            }
            const auto t = std::chrono::steady_clock::now().time_since_epoch();
            if (start > 0.0) player->setCurrentTime(start);
            player->play();
            std::cout << "t " << std::chrono::nanoseconds(t).count() << std::endl;
        } else if (verb == "stop" && player) {
            player->stop();
            if (bed) bed->stop();
            player->setCurrentTime(start);
            player->prepareToPlay();
            std::cout << "stopped " << engine.decoderUnderruns() << ' ' << engine.outputUnderflows()
                      << std::endl;
        } else if (verb == "quit") {
            break;
        }
    }
    player.reset();
    return 0;
}
