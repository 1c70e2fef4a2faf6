#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"
#include "support/TestFiles.h"

namespace {

bool waitUntil(const std::function<bool()>& done, int seconds = 10) {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::seconds(seconds * testfiles::kSlowdown);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// A JACK server of the test's own, on the dummy driver; gone with the test even if it dies.
pid_t startJackd(const std::string& name, const char* rate = "48000") {
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        execlp("jackd", "jackd", "--no-realtime", "-n", name.c_str(), "-d", "dummy", "-r", rate,
               "-p", "256", nullptr);
        _exit(127);
    }
    return pid;
}

// Stopped, not killed: a killed server stays in JACK's table of servers, which holds eight.
void stopJackd(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// A recorder of the test's own: the loudest sample each of its two inputs received.
struct Capture {
    jack_client_t* client = nullptr;
    jack_port_t* in[2] = {};
    std::atomic<float> peak[2] = {0.0f, 0.0f};

    bool open() {
        client = jack_client_open("Capture", JackNoStartServer, nullptr);
        if (!client) return false;
        for (int p = 0; p < 2; ++p)
            in[p] = jack_port_register(client, p ? "in_2" : "in_1", JACK_DEFAULT_AUDIO_TYPE,
                                       JackPortIsInput, 0);
        jack_set_process_callback(client, &Capture::process, this);
        return jack_activate(client) == 0;
    }
    static int process(jack_nframes_t frames, void* self) {
        auto* me = static_cast<Capture*>(self);
        for (int p = 0; p < 2; ++p) {
            const auto* data = static_cast<float*>(jack_port_get_buffer(me->in[p], frames));
            float peak = me->peak[p].load();
            for (jack_nframes_t i = 0; i < frames; ++i) peak = std::max(peak, std::fabs(data[i]));
            me->peak[p].store(peak);
        }
        return 0;
    }
    bool connected(const char* from, int p) const {
        return jack_port_connected_to(in[p], from) != 0;
    }
    void close() {
        if (client) jack_client_close(client);
        client = nullptr;
    }
    ~Capture() { close(); }
};

// The ports live with the program: a cue routed to the fifth channel sounds on out_5 only; what
// another program connected to out_5 stays through cue after cue, and is made again after the
// server died and came back. A server at another rate is refused, and the operator told why.
TEST(JackOutputTest, PortsCarryTheRouteAndKeepTheirConnectionsThroughCuesAndRestarts) {
    if (system("command -v jackd >/dev/null 2>&1") != 0) GTEST_SKIP() << "jackd is not installed";
    const std::string server = "cuevox-jack-" + std::to_string(getpid());
    setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    pid_t jackd = startJackd(server);
    Capture capture;
    if (!waitUntil([&] { return capture.open(); })) {
        stopJackd(jackd);
        GTEST_SKIP() << "jackd could not start";
    }
    QTemporaryDir dir;
    const std::string tone = dir.filePath("tone.wav").toStdString();
    testfiles::writeToneWav(tone, 48000, 0.4, 440.0, 0.5f);
    auto engine =
        std::make_unique<AudioEngine>(AudioEngine::Mode::Device, 48000, OutputChoice{"jack:", 0});
    ASSERT_TRUE(waitUntil([&] { return engine->outputDeviceActive(); }));
    EXPECT_EQ(engine->activeOutputDevice(), "jack:");
    const char** ports = jack_get_ports(capture.client, "^Cuevox:out_", nullptr, 0);
    int count = 0;
    while (ports && ports[count]) ++count;
    jack_free(ports);
    EXPECT_EQ(count, 8);
    // Offered once: neither PortAudio's JACK host nor ALSA's plugin into JACK beside it.
    std::vector<std::string> routes;
    for (const auto& device : OutputStream::devices())
        if (QString::fromStdString(device.id + device.name).contains("jack", Qt::CaseInsensitive))
            routes.push_back(device.id + " " + device.name);
    EXPECT_EQ(routes, std::vector<std::string>{"jack: JACK (Cuevox:out_1 \u2026 out_8)"});
    ASSERT_EQ(jack_connect(capture.client, "Cuevox:out_5", "Capture:in_1"), 0);
    ASSERT_EQ(jack_connect(capture.client, "Cuevox:out_1", "Capture:in_2"), 0);

    auto playCue = [&] {
        capture.peak[0] = capture.peak[1] = 0.0f;
        auto player = AudioPlayer::initWithContentsOfURL(tone, nullptr, engine.get());
        player->setRoute(4, 4);
        player->play();
        const bool heard = waitUntil([&] { return capture.peak[0] > 0.4f; }, 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(600));  // played out
        return heard;
    };
    for (int cue = 1; cue <= 3; ++cue) {
        EXPECT_TRUE(playCue()) << "cue " << cue << " not heard on out_5";
        EXPECT_EQ(capture.peak[1], 0.0f) << "cue " << cue << " sounded on out_1";
        EXPECT_TRUE(capture.connected("Cuevox:out_5", 0)) << "after cue " << cue;
    }

    // The capture client dies with the server and comes back with it, after the output has
    // reopened: the connection is made again once its other end is there.
    stopJackd(jackd);
    capture.close();
    ASSERT_TRUE(waitUntil([&] { return !engine->outputDeviceActive(); }));
    jackd = startJackd(server);
    ASSERT_TRUE(waitUntil([&] { return engine->outputDeviceActive(); }));
    ASSERT_TRUE(capture.open());
    EXPECT_TRUE(waitUntil([&] { return capture.connected("Cuevox:out_5", 0); }));
    EXPECT_TRUE(playCue()) << "not heard after the restart";
    capture.close();
    engine.reset();

    stopJackd(jackd);
    jackd = startJackd(server, "44100");
    std::atomic<bool> told{false};
    AudioEngine refused(AudioEngine::Mode::Device, 48000, {"jack:", 0}, [&](const OutputNotice& n) {
        if (n.detail.find("44100 Hz") != std::string::npos) told = true;
    });
    EXPECT_TRUE(waitUntil([&] { return told.load(); }));
    EXPECT_FALSE(refused.outputDeviceActive());
    stopJackd(jackd);
}

}  // namespace
