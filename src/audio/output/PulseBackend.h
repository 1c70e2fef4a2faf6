#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/output/OutputBackend.h"

#include <pulse/pulseaudio.h>

// Plays on the sound server through its own client library (PulseAudio, and PipeWire through
// its PulseAudio service). A stream exists only while something plays: with none, neither the
// server nor this program does any work. A command that starts a voice opens it at once; its
// first block is written before it starts, so the server starts on real sound.
class PulseBackend final : public OutputBackend {
public:
    // sink empty: the server's default sink.
    PulseBackend(std::shared_ptr<StreamFeed> feed, std::string sink, int sampleRate,
                 int latencyFrames);
    ~PulseBackend() override;

    bool open(std::string* why) override;
    void close() override;
    void wake() override;
    // The stream's buffer and the sink's share of the latency asked for (ADJUST_LATENCY splits
    // it between them), or the buffer alone where the server granted more.
    int latencyFrames() const override { return std::max(requestedLatency_, grantedFrames()); }
    // A server that stops asking is nearly always one starved of CPU (a build, a busy
    // desktop) that asks again a moment later. The stream pre-buffers, so while it had nothing
    // the server's read point waited at its write point: what comes next plays whole, and the
    // sound resumes at once. A new stream would add a second or more of silence to every such
    // hiccup. A server that dies closes the connection, and that is noticed by itself.
    bool keepThroughStalls() const override { return true; }

    // The sink's channels, in its own map (known once open).
    int channels() const override { return channels_; }
    std::vector<std::string> channelNames() const override;

    // The server's sinks, or nothing when no server answers within `timeoutMs`.
    static std::vector<OutputDevice> sinks(int timeoutMs = 1000);

private:
    static void writeRequested(pa_stream* stream, size_t bytes, void* self);
    static void woken(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self);
    static void readPointKnown(pa_stream* stream, int success, void* self);
    static void earlyStartChecked(pa_stream* stream, int success, void* self);
    // Mainloop thread: mixes the voices just started into what is queued from a little past
    // the server's read point, and writes it over the queued sound.
    void startEarly();
    // Mainloop thread: keeps what is written, to be rewritten with a cue that starts.
    void remember(const float* data, size_t frames);
    // Mainloop thread: mixes `bytes` worth and writes it; `first`: as the stream's first block,
    // which leaves it starting (StreamFeed::prime).
    void writeMix(size_t bytes, bool first = false);
    // Mainloop thread: the first block of a stream that starts, or starts over after a flush.
    void writeFirst();
    int grantedFrames() const { return granted_.load(std::memory_order_relaxed); }
    // Mainloop thread: of a request, what is mixed; writes the rest as silence.
    size_t paceAfterStall(size_t bytes);
    // Mainloop thread: the silence a stream that starts begins with, where the server needs it.
    void writeLeadIn();
    // Mainloop thread: asks for a larger buffer after the server ran dry.
    void growBuffer();
    // Mainloop thread: takes in the buffer the server granted, which may differ from the one
    // asked for.
    void readBackBufferAttr();
    void sleepIfQuiet(int frames);
    void startStream();
    // Without `disconnect`, the stream is only let go of: its owner now is lingering_.
    void dropStream(bool disconnect = true);
    // Takes the stream's callbacks off it.
    static void detach(pa_stream* stream);
    void dropLingering();
    // Under the mainloop's lock, at open: takes the channels of the sink the stream will play
    // on (the chosen one, else the server's default); false when the server does not answer.
    bool learnChannels(const std::string& sink);
    void takeMap(pa_channel_map map);
    void sizeBuffers();
    // Mainloop thread: learns the sink the stream plays on; in another channel map than the
    // one it was made in, the stream is made anew in that sink's.
    void checkPlacement();
    static void placed(pa_context* context, const pa_sink_info* info, int eol, void* self);

    std::shared_ptr<StreamFeed> feed_;
    const std::string sink_;
    const int sampleRate_;
    const int requestedLatency_;
    // Mainloop thread: the buffer asked for since the server ran dry with a smaller one.
    int grownLatency_ = 0;
    // The buffer the server granted (frames), once the stream runs; read by the supervisor.
    std::atomic<int> granted_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    // A stream given up for another, kept until the other is ready.
    pa_stream* lingering_ = nullptr;
    pa_io_event* wakeEvent_ = nullptr;
    int wakeFd_ = -1;
    // Set at open, and on the mainloop thread when the stream moves to another channel map.
    std::atomic<int> channels_{2};
    size_t frameBytes_ = 2 * sizeof(float);
    pa_channel_map map_{};
    mutable std::mutex namesMutex_;
    std::vector<std::string> names_{"left", "right"};
    // Mainloop thread: the sink the stream was last found on, when none was chosen.
    std::string placedSink_;
    bool placementAsked_ = false;
    std::string defaultSink_;
    std::vector<float> buffer_;
    // The last frames written, in a ring; `contiguous_` of them lie back to back before the
    // server's write point (a flush breaks the run).
    std::vector<float> history_;
    int64_t written_ = 0;
    int64_t contiguous_ = 0;
    bool readPointAsked_ = false;
    // Set at open, under the mainloop's lock: the server is one on which a cue is written over
    // queued sound. Cleared for good when a check afterwards cannot prove a start was whole.
    bool serverAnswered_ = false;
    bool earlyStarts_ = false;
    bool rewindsOnStart_ = false;
    // Mainloop thread only.
    bool started_ = false;
    bool goingToSleep_ = false;
    int64_t quietFrames_ = 0;
    std::chrono::steady_clock::time_point pacedFrom_{};
    int64_t pacedFrames_ = 0;
    // Where the last cue written over queued sound begins, in the stream's bytes.
    int64_t earlyStartIndex_ = -1;
    // A wake is on its way; also read by other threads to skip needless wakes.
    std::atomic<bool> asleep_{true};
    // The stream runs, but all it has queued is silence.
    std::atomic<bool> silenceQueued_{false};
};
