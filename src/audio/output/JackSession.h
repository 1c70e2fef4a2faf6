#pragma once

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "audio/output/OutputBackend.h"

// The program's one JACK client, "Cuevox", with its output ports out_1 … out_N. It opens with
// the first JACK stream and stays open while the server lives, whatever the streams do: the
// ports, and what other programs (or a patchbay) connected to them, outlast every cue and every
// stream, and play silence while no stream is attached. When the server goes away, the ports'
// connections are kept and made again once the client is back and the other end exists.
class JackSession {
public:
    static constexpr int kMaxStreams = 4;
    static constexpr int kMaxPorts = 64;  // the mixer's most channels

    // What a stream attaches. Set up by the stream; read by the process callback.
    struct Slot {
        StreamFeed* feed = nullptr;
        // Something was sent to the mixer: a quiet stream mixes its next block.
        std::atomic<bool> wakeAsked{false};
        // Process thread only: nothing was playing after the last block mixed.
        bool quiet = false;
    };

    // The one session; it lives as long as the program (never destroyed: the server may call
    // in until the very end).
    static JackSession& instance();

    // Opens the client if it is not open, or closed with its server, and attaches the slot:
    // its feed is asked for every block from then on. False, with why, when no server runs,
    // the server's rate is not `sampleRate`, or the ports cannot be made. A new client has
    // `channels` ports; an open one keeps the ports it has.
    bool attach(Slot& slot, int channels, int sampleRate, std::string* why);
    // Once it returns, the slot's feed is not called any more.
    void detach(Slot& slot);

    int channels() const { return portCount_.load(); }
    // The ports' short names ("out_1", ...).
    std::vector<std::string> channelNames() const;
    // The playback latency of the ports, plus the block the server asks for.
    int latencyFrames() const { return latency_.load(std::memory_order_relaxed); }
    // "Cuevox", or the name the server gave the client when that was taken.
    std::string clientName() const;
    // A server answers (none is started to find out).
    static bool serverRuns();

private:
    JackSession();

    struct Scratch {
        int frames = 0;
        std::unique_ptr<float[]> data;
    };

    static int process(jack_nframes_t frames, void* self);
    static int bufferSizeChanged(jack_nframes_t frames, void* self);
    static void shutDown(jack_status_t, const char*, void* self);
    static void poke(void* self);
    // Under mutex_: opens the client, makes the ports and starts them.
    bool openClient(int channels, int sampleRate, std::string* why);
    void closeClient();
    void growScratch(int frames);
    void updateLatency();
    std::string nameLocked() const;
    // Watcher thread: keeps the ports' connections, and remakes the missing ones.
    void watch();
    void keepConnections();

    mutable std::mutex mutex_;  // the client, its ports and their connections
    jack_client_t* client_ = nullptr;
    std::array<jack_port_t*, kMaxPorts> ports_{};
    std::atomic<int> portCount_{0};
    std::atomic<bool> dead_{false};
    std::array<std::atomic<Slot*>, kMaxStreams> slots_{};
    // Callbacks running now that may touch a slot.
    std::atomic<int> inCallbacks_{0};
    std::atomic<Scratch*> scratch_{nullptr};
    std::mutex scratchMutex_;
    std::vector<std::unique_ptr<Scratch>> scratches_;  // every one made since the client opened
    std::atomic<int> xruns_{0};
    std::atomic<int> latency_{0};
    // Port short name and the full name of the port at the other end: the connections the
    // ports have, and those still to be made again after the server came back.
    std::set<std::pair<std::string, std::string>> connections_;
    std::set<std::pair<std::string, std::string>> missing_;

    std::mutex watchMutex_;
    std::condition_variable watchCv_;
    bool watchDue_ = false;
};
