// Benchmarks of the OSC receiving path: the cost of reading one packet of each kind, and a
// loopback flood against the real server with the GUI thread's share taken as the program takes
// it (32 commands every 5 ms), reporting what the receiving thread and the taker cost.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ProcessStatus.h"
#include "audio/ThreadName.h"
#include "remote/OscServer.h"
#include "remote/RemoteControl.h"

namespace {

std::vector<char> message(const char* path, int arg = -1) {
    lo_message m = lo_message_new();
    if (arg >= 0) lo_message_add_int32(m, arg);
    std::size_t size = lo_message_length(m, path);
    std::vector<char> bytes(size);
    lo_message_serialise(m, path, bytes.data(), &size);
    lo_message_free(m);
    return bytes;
}

void parseEach(benchmark::State& state, const std::vector<char>& packet) {
    const ReplyTarget from{"127.0.0.1", 9000};
    for (auto _ : state)
        benchmark::DoNotOptimize(OscServer::parse(packet.data(), packet.size(), from));
    state.SetItemsProcessed(state.iterations());
}

void BM_ParseCommand(benchmark::State& state) {
    parseEach(state, message("/cuevox/cue/12/start"));
}
BENCHMARK(BM_ParseCommand);

void BM_ParseUnknownAddress(benchmark::State& state) {
    parseEach(state, message("/cuevox/unknown"));
}
BENCHMARK(BM_ParseUnknownAddress);

void BM_ParseNoise(benchmark::State& state) {
    std::vector<char> noise(40);
    std::mt19937 random(3);
    for (char& c : noise) c = char(random());
    parseEach(state, noise);
}
BENCHMARK(BM_ParseNoise);

// One second of packets at full speed from one sender on the loopback; a third noise, a third
// unknown addresses, a third selections that fill the show's queue.
void BM_LoopbackFlood(benchmark::State& state) {
    RemoteQueue queue;
    std::atomic<long> delivered{0}, refused{0}, taken{0};
    OscServer server(
        [&](const RemoteCommand& c) {
            const bool ok = queue.push(c) != RemoteQueue::Push::Full;
            (ok ? delivered : refused)++;
            return ok;
        },
        [](const QString&) {});
    OscServer::Config config;
    config.port = 0;
    if (!server.start(config).isEmpty()) {
        state.SkipWithError("cannot listen on the loopback");
        return;
    }
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        std::thread taker([&] {
            nameThisThread("bench-taker");
            while (!stop) {
                taken += long(queue.take(RemoteControl::kCommandsPerTurn).size());
                std::this_thread::sleep_for(std::chrono::milliseconds(RemoteControl::kBusyPauseMs));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // both threads named
        const auto before = threadCpuNs();
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(server.port()));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::vector<std::vector<char>> packets = {
            std::vector<char>(40, 'x'), message("/cuevox/unknown"), message("/cuevox/select", 1),
            message("/cuevox/select", 2)};
        long sent = 0;
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {
            for (int i = 0; i < 100; ++i, ++sent) {
                const auto& p = packets[std::size_t(sent % 4)];
                ::sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto after = threadCpuNs();
        stop = true;
        taker.join();
        ::close(fd);
        state.counters["sent_per_s"] = double(sent) / seconds;
        state.counters["commands_delivered_per_s"] = double(delivered.exchange(0)) / seconds;
        state.counters["commands_refused_per_s"] = double(refused.exchange(0)) / seconds;
        state.counters["commands_taken_per_s"] = double(taken.exchange(0)) / seconds;
        state.counters["osc_thread_core_pct"] =
            double(after.at("cuevox-osc") - before.at("cuevox-osc")) / seconds / 1e7;
        state.counters["taker_core_pct"] =
            double(after.at("bench-taker") - before.at("bench-taker")) / seconds / 1e7;
    }
}
BENCHMARK(BM_LoopbackFlood)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
