#include "audio/output/PulseBackend.h"

#include <pulse/pulseaudio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "audio/ThreadName.h"
#include "audio/output/RealtimePriority.h"
#include "audio/output/SilentClock.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kConnectTimeout = std::chrono::seconds(3);
// Silence this long after the last voice ends, and the stream goes to sleep. Long enough that
// a run of Gos keeps it awake.
constexpr int kQuietSecondsBeforeSleep = 2;
constexpr int kMaxWriteFrames = 1 << 14;
constexpr int kHistoryFrames = 1 << 14;
// A cue that starts while others play is written over their queued sound only when that
// gains at least this much (1 ms); else it waits for the next block.
constexpr int64_t kMinEarlyFrames = 48;
// A cue written over queued sound begins this far (1 ms, a write's way to a local server with
// room to spare) past the point the server's read point can have reached when the server
// answered, and the write itself begins at that point with the sound that was queued there.
// A write that comes later than reckoned loses only some of that queued sound, never the cue's
// start; a check afterwards says whether it came in time, and a server that once was too slow
// gets no more such writes.
constexpr int64_t kEarlyMarginFrames = 48;
// A stream's start on PulseAudio is led in by this much silence (2 ms): more than what the
// server passes on at a time to a recorder of its sink (1 ms fragments).
constexpr int kLeadInFrames = 96;
// The most a buffer is grown to after the server ran dry (100 ms at 48 kHz).
constexpr int kMaxGrownLatencyFrames = 4800;
// How long after a stall the stream's mixing is held to the wall clock.
constexpr auto kPacedWindow = std::chrono::seconds(1);

// The server's buffer holds `frames`; it asks for more as each quarter plays, which leaves the
// sink a quarter of the latency for its own buffer. Pre-buffering a quarter is what keeps every
// frame written: a stream with nothing queued (just created, flushed, or run dry) holds its
// read point at its write point until there is sound again, rather than reading on through
// silence, which would put the next frames written behind it and drop them unheard.
pa_buffer_attr bufferAttr(int frames, size_t frameBytes) {
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(frames) * uint32_t(frameBytes);
    attr.minreq = attr.tlength / 4;
    attr.prebuf = attr.minreq;
    attr.fragsize = uint32_t(-1);
    return attr;
}

void drop(pa_operation* op) {
    if (op) pa_operation_unref(op);
}

// Waits on the mainloop (its lock held) until `done` says so or the time is up.
template <typename Done>
bool waitFor(pa_threaded_mainloop* loop, Done done) {
    const auto deadline = Clock::now() + kConnectTimeout;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        pa_threaded_mainloop_unlock(loop);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        pa_threaded_mainloop_lock(loop);
    }
    return true;
}

// One turn of a private mainloop, waiting at most a few milliseconds.
void iterate(pa_mainloop* loop) {
    if (pa_mainloop_prepare(loop, 5000) < 0) return;
    pa_mainloop_poll(loop);
    pa_mainloop_dispatch(loop);
}

bool contextSettled(pa_context* context) {
    const pa_context_state_t state = pa_context_get_state(context);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
}

}  // namespace

PulseBackend::PulseBackend(std::shared_ptr<StreamFeed> feed, std::string sink, int sampleRate,
                           int latencyFrames)
    : feed_(std::move(feed)),
      sink_(std::move(sink)),
      sampleRate_(sampleRate),
      requestedLatency_(latencyFrames),
      granted_(latencyFrames) {
    pa_channel_map_init_stereo(&map_);
}

PulseBackend::~PulseBackend() {
    close();
    // Only here: wake() may still be writing to it from another thread until the last owner
    // lets go.
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool PulseBackend::open(std::string* why) {
    auto fail = [&](const std::string& text) {
        if (why) *why = text;
        return false;
    };
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) return fail("no memory");
    pa_threaded_mainloop_set_name(loop_, "cuevox-audio");
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Cuevox");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "cuevox");
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "production");
    context_ = pa_context_new_with_proplist(api, "Cuevox", props);
    pa_proplist_free(props);
    if (!context_) return fail("no memory");
    pa_context_set_state_callback(
        context_,
        [](pa_context* c, void* self) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c)))
                static_cast<PulseBackend*>(self)->feed_->noteFailed();
        },
        this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return fail(pa_strerror(pa_context_errno(context_)));
    if (pa_threaded_mainloop_start(loop_) < 0) return fail("cannot start its thread");
    pa_threaded_mainloop_lock(loop_);
    auto unlockAndFail = [&](const std::string& text) {
        pa_threaded_mainloop_unlock(loop_);
        return fail(text);
    };
    // The loop's thread mixes and writes every block: real-time, asked for from here, where
    // waiting for the system bus holds nothing up.
    pid_t loopThread = 0;
    pa_mainloop_api_once(
        api, [](pa_mainloop_api*, void* tid) { *static_cast<pid_t*>(tid) = currentThreadId(); },
        &loopThread);
    if (waitFor(loop_, [&loopThread] { return loopThread != 0; })) {
        pa_threaded_mainloop_unlock(loop_);
        makeThreadRealtime(loopThread);
        pa_threaded_mainloop_lock(loop_);
    }
    if (!waitFor(loop_, [this] { return contextSettled(context_); }))
        return unlockAndFail("the sound server does not answer");
    if (pa_context_get_state(context_) != PA_CONTEXT_READY)
        return unlockAndFail(pa_strerror(pa_context_errno(context_)));

    // Writing a cue over queued sound rests on how the server keeps its read and write points
    // and takes a write behind its read point; that was tried on PulseAudio itself. Other
    // servers speaking its protocol (PipeWire's) start a cue with the next block instead: a
    // misplaced rewrite would be a click in every cue playing.
    drop(pa_context_get_server_info(
        context_,
        [](pa_context*, const pa_server_info* info, void* self) {
            auto* me = static_cast<PulseBackend*>(self);
            me->earlyStarts_ =
                info && info->server_name && std::string_view(info->server_name) == "pulseaudio";
            me->rewindsOnStart_ = me->earlyStarts_;
            if (info && info->default_sink_name) me->defaultSink_ = info->default_sink_name;
            me->serverAnswered_ = true;
        },
        this));
    if (!waitFor(loop_, [this] { return serverAnswered_; }))
        return unlockAndFail("the sound server does not answer");

    // A chosen sink must be there now; the stream itself opens only when a cue plays.
    if (!sink_.empty() && !learnChannels(sink_)) return unlockAndFail("No such entity");
    // Else the stream goes where the library sends it: the sink the desktop names in
    // PULSE_SINK, if there is one by that name, or the server's default.
    const char* desktopSink = std::getenv("PULSE_SINK");
    if (sink_.empty() && !(desktopSink && *desktopSink && learnChannels(desktopSink)) &&
        !defaultSink_.empty())
        learnChannels(defaultSink_);
    if (!serverAnswered_) return unlockAndFail("the sound server does not answer");
    sizeBuffers();

    // A stream moved by the desktop's mixer shows as a change of its sink input.
    pa_context_set_subscribe_callback(
        context_,
        [](pa_context*, pa_subscription_event_type_t type, uint32_t index, void* self) {
            auto* me = static_cast<PulseBackend*>(self);
            if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT ||
                (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE ||
                !me->stream_ || index != pa_stream_get_index(me->stream_))
                return;
            me->placementAsked_ = false;
            me->checkPlacement();
        },
        this);
    drop(pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr));

    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) return unlockAndFail("no event descriptor");
    wakeEvent_ = api->io_new(api, wakeFd_, PA_IO_EVENT_INPUT, &PulseBackend::woken, this);
    asleep_.store(true);
    feed_->noteAsleep(true);
    pa_threaded_mainloop_unlock(loop_);
    // Commands may have come while the stream was opening.
    wake();
    return true;
}

void PulseBackend::sizeBuffers() {
    buffer_.assign(size_t(kMaxWriteFrames) * size_t(channels_), 0.0f);
    history_.assign(size_t(kHistoryFrames) * size_t(channels_), 0.0f);
}

void PulseBackend::takeMap(pa_channel_map map) {
    // A mono sink is played in stereo and mixed down by the server: cues are routed to two
    // channels at least.
    if (map.channels < 2 || !pa_channel_map_valid(&map)) pa_channel_map_init_stereo(&map);
    map_ = map;
    channels_ = std::min<int>(map_.channels, Mixer::kMaxChannels);
    frameBytes_ = size_t(channels_) * sizeof(float);
    std::vector<std::string> names;
    for (int i = 0; i < channels_; ++i) names.push_back(pa_channel_position_to_string(map_.map[i]));
    std::lock_guard lock(namesMutex_);
    names_ = std::move(names);
}

std::vector<std::string> PulseBackend::channelNames() const {
    std::lock_guard lock(namesMutex_);
    return names_;
}

void PulseBackend::checkPlacement() {
    // Where the server placed the stream, or moved it since (the desktop's mixer, a rule of
    // its own): that sink's channels are the ones to mix for.
    // Asked of the server each time: a move is not always announced to the stream itself
    // (PipeWire's server tells only through the sink input's change events).
    if (!stream_ || placementAsked_) return;
    const uint32_t input = pa_stream_get_index(stream_);
    if (input == PA_INVALID_INDEX) return;
    placementAsked_ = true;
    drop(pa_context_get_sink_input_info(
        context_, input,
        [](pa_context* context, const pa_sink_input_info* info, int eol, void* self) {
            auto* me = static_cast<PulseBackend*>(self);
            if (!info) {
                if (eol < 0) me->placementAsked_ = false;
                return;
            }
            if (!me->stream_ || info->index != pa_stream_get_index(me->stream_)) {
                me->placementAsked_ = false;
                return;
            }
            drop(pa_context_get_sink_info_by_index(context, info->sink, &PulseBackend::placed,
                                                   self));
        },
        this));
}

void PulseBackend::placed(pa_context*, const pa_sink_info* info, int, void* self) {
    auto* me = static_cast<PulseBackend*>(self);
    if (!info) {
        me->placementAsked_ = false;
        return;
    }
    me->placedSink_ = info->name;
    if (pa_channel_map_equal(&info->channel_map, &me->map_) ||
        (info->channel_map.channels < 2 && me->channels_ == 2))
        return;
    // Another channel map: the stream is made anew in it, on that sink, and the cues
    // playing go on there (the time holds while it starts). The old one stays until
    // the new one is ready: a sink left without a stream may wait a long while before
    // it takes the next (a null sink idles at its largest latency, 2 s).
    me->takeMap(info->channel_map);
    me->sizeBuffers();
    me->dropLingering();
    me->lingering_ = me->stream_;
    me->dropStream(false);
    me->startStream();
}

bool PulseBackend::learnChannels(const std::string& sink) {
    struct Found {
        int state = -1;  // -1 waiting, 0 none, 1 found
        pa_channel_map map{};
    } found;
    drop(pa_context_get_sink_info_by_name(
        context_, sink.c_str(),
        [](pa_context*, const pa_sink_info* info, int eol, void* result) {
            auto& r = *static_cast<Found*>(result);
            if (info) {
                r.state = 1;
                r.map = info->channel_map;
            } else if (eol && r.state < 0) {
                r.state = 0;
            }
        },
        &found));
    if (!waitFor(loop_, [&found] { return found.state >= 0; })) {
        serverAnswered_ = false;
        return false;
    }
    if (found.state == 0) return false;
    takeMap(found.map);
    return true;
}

void PulseBackend::close() {
    if (!loop_) return;
    // Nothing here waits on the server: the library only closes its socket.
    pa_threaded_mainloop_lock(loop_);
    if (wakeEvent_) pa_threaded_mainloop_get_api(loop_)->io_free(wakeEvent_);
    wakeEvent_ = nullptr;
    dropStream();
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
}

void PulseBackend::detach(pa_stream* stream) {
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_moved_callback(stream, nullptr, nullptr);
    pa_stream_set_buffer_attr_callback(stream, nullptr, nullptr);
}

void PulseBackend::dropLingering() {
    if (!lingering_) return;
    pa_stream_disconnect(lingering_);
    pa_stream_unref(lingering_);
    lingering_ = nullptr;
}

void PulseBackend::dropStream(bool disconnect) {
    if (disconnect) dropLingering();
    if (!stream_) return;
    detach(stream_);
    if (disconnect) {
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }
    stream_ = nullptr;
    started_ = false;
    placementAsked_ = false;
    contiguous_ = 0;
    readPointAsked_ = false;
    earlyStartIndex_ = -1;
}

void PulseBackend::wake() {
    // A stream playing sound takes commands in with its next block anyway; only a start is
    // worth more: it need not wait behind the sound queued.
    if (wakeFd_ < 0 ||
        !(asleep_.load(std::memory_order_acquire) ||
          silenceQueued_.load(std::memory_order_relaxed) || feed_->runner().startSent()))
        return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void PulseBackend::woken(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self) {
    auto* me = static_cast<PulseBackend*>(self);
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(fd, &count, sizeof count);
    if (!me->context_) return;
    if (!me->stream_) {
        if (me->feed_->runner().applyCommands(me->feed_->id())) me->startStream();
        return;
    }
    // The first block goes in as the stream gets ready, with whatever was sent meanwhile.
    if (!me->started_) return;
    // A running stream that has queued nothing but silence: that silence is flushed and the
    // cue written in its place. The flush sets the server's write point back to its read
    // point and makes the stream pre-buffer there, so the read point waits for the cue's
    // first frame however late the write comes: only silence is lost.
    if (me->quietFrames_ >= me->grantedFrames()) {
        if (!me->feed_->runner().applyCommands(me->feed_->id())) return;
        me->quietFrames_ = 0;
        me->silenceQueued_.store(false, std::memory_order_relaxed);
        drop(pa_stream_flush(me->stream_, nullptr, nullptr));
        me->contiguous_ = 0;
        me->feed_->noteRestart();
        me->writeLeadIn();
        me->writeFirst();
        return;
    }
    // Sound is queued: where the server reads decides how much of it the cue can join.
    if (!me->earlyStarts_ || me->readPointAsked_ || !me->feed_->runner().startSent()) return;
    if (pa_operation* op = pa_stream_update_timing_info(me->stream_, &readPointKnown, me)) {
        me->readPointAsked_ = true;
        pa_operation_unref(op);
    }
}

void PulseBackend::readPointKnown(pa_stream* stream, int success, void* self) {
    auto* me = static_cast<PulseBackend*>(self);
    me->readPointAsked_ = false;
    if (success && stream == me->stream_ && me->started_) me->startEarly();
}

void PulseBackend::startEarly() {
    const pa_timing_info* info = pa_stream_get_timing_info(stream_);
    if (!info || info->read_index_corrupt || info->write_index_corrupt) return;
    // Only on a stream in its stride: for a second after it started or last ran dry, the
    // server's read point says too little of what is heard, and a cue written in there was
    // seen to land behind it.
    const int latency = grantedFrames();
    const int64_t queuedBytes = info->write_index - info->read_index;
    if (!info->playing || info->since_underrun < int64_t(sampleRate_) * int64_t(frameBytes_) ||
        queuedBytes < 0 || queuedBytes > int64_t(latency) * int64_t(frameBytes_) * 2)
        return;
    const auto usToFrames = [this](pa_usec_t us) { return int64_t(us) * sampleRate_ / 1000000; };
    // The sink takes from the read point a block at a time, ahead of what is heard by what it
    // holds (sink_usec), and never by more than its configured latency. From when the server
    // answered, what is heard moves on with the clock: the read point can be no further than
    // that by now. The write starts there, with the queued sound; the cue a margin later.
    const int64_t heardAt = info->read_index / int64_t(frameBytes_) - usToFrames(info->sink_usec);
    const int64_t readAtMost = heardAt + usToFrames(pa_timeval_age(&info->timestamp)) +
                               usToFrames(info->configured_sink_usec);
    const int64_t writeIndex = info->write_index / int64_t(frameBytes_);
    const int64_t frames =
        std::min({writeIndex - readAtMost, contiguous_, int64_t(kMaxWriteFrames)});
    if (frames - kEarlyMarginFrames < kMinEarlyFrames) return;
    const int64_t from = written_ - frames;
    const int64_t C = channels_;
    for (int64_t i = 0; i < frames;) {
        const size_t at = size_t((from + i) % kHistoryFrames);
        const int64_t n = std::min<int64_t>(frames - i, kHistoryFrames - int64_t(at));
        std::copy_n(history_.begin() + ptrdiff_t(at * C), n * C, buffer_.begin() + i * C);
        i += n;
    }
    if (!feed_->runner().startEarly(feed_->id(), buffer_.data() + kEarlyMarginFrames * C,
                                    int(frames - kEarlyMarginFrames), channels_))
        return;
    const size_t bytes = size_t(frames) * frameBytes_;
    pa_stream_write(stream_, buffer_.data(), bytes, nullptr, -int64_t(bytes), PA_SEEK_RELATIVE);
    earlyStartIndex_ = (writeIndex - frames + kEarlyMarginFrames) * int64_t(frameBytes_);
    // The server answers in order: a read point it reports after the write is no earlier
    // than where it was when the write came in.
    drop(pa_stream_update_timing_info(stream_, &earlyStartChecked, this));
    // The ring holds the rewritten frames, for a cue that starts just after this one.
    written_ = from;
    contiguous_ -= frames;
    remember(buffer_.data(), size_t(frames));
    quietFrames_ = 0;
}

void PulseBackend::earlyStartChecked(pa_stream* stream, int success, void* self) {
    auto* me = static_cast<PulseBackend*>(self);
    if (!success || stream != me->stream_ || me->earlyStartIndex_ < 0) return;
    const pa_timing_info* info = pa_stream_get_timing_info(stream);
    if (!info || info->read_index_corrupt) return;
    // Past the cue's first frame already: it may have landed behind the read point. This
    // server is then too slow for the reckoning, and its cues wait for the next block.
    if (info->read_index > me->earlyStartIndex_) {
        me->earlyStarts_ = false;
        std::fprintf(stderr,
                     "Cuevox: the sound server read past a cue's start before it "
                     "could be shown to be in time; cues now start with its next "
                     "block\n");
    }
    me->earlyStartIndex_ = -1;
}

void PulseBackend::remember(const float* data, size_t frames) {
    const size_t C = size_t(channels_);
    contiguous_ = std::min<int64_t>(contiguous_ + int64_t(frames), kHistoryFrames);
    if (frames > size_t(kHistoryFrames)) {
        data += (frames - kHistoryFrames) * C;
        written_ += int64_t(frames) - kHistoryFrames;
        frames = kHistoryFrames;
    }
    while (frames > 0) {
        const size_t at = size_t(written_ % kHistoryFrames);
        const size_t n = std::min(frames, size_t(kHistoryFrames) - at);
        std::copy_n(data, n * C, history_.begin() + ptrdiff_t(at * C));
        data += n * C;
        frames -= n;
        written_ += int64_t(n);
    }
}

void PulseBackend::startStream() {
    // In the sink's own channel map, so that the server passes each channel through untouched:
    // a stereo stream on a sink of AUX channels would be heard nowhere.
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, uint32_t(sampleRate_), uint8_t(channels_)};
    stream_ = pa_stream_new(context_, "Cues", &format, &map_);
    if (!stream_) {
        feed_->noteFailed();
        return;
    }
    pa_stream_set_write_callback(stream_, &PulseBackend::writeRequested, this);
    pa_stream_set_underflow_callback(
        stream_,
        [](pa_stream*, void* self) {
            auto* me = static_cast<PulseBackend*>(self);
            if (!me->started_) return;
            me->feed_->noteUnderflow();
            me->growBuffer();
        },
        this);
    pa_stream_set_state_callback(
        stream_,
        [](pa_stream* s, void* self) {
            auto* me = static_cast<PulseBackend*>(self);
            const pa_stream_state_t state = pa_stream_get_state(s);
            if (state == PA_STREAM_READY && !me->started_) {
                // The first block goes in as the stream starts (it pre-buffers, so the server
                // waits for it), after the lead-in.
                me->started_ = true;
                me->quietFrames_ = 0;
                me->readBackBufferAttr();
                me->writeLeadIn();
                me->writeFirst();
                me->dropLingering();
                me->checkPlacement();
            } else if (!PA_STREAM_IS_GOOD(state)) {
                me->feed_->noteFailed();
            }
        },
        this);
    pa_stream_set_moved_callback(
        stream_,
        [](pa_stream*, void* self) {
            auto* me = static_cast<PulseBackend*>(self);
            me->placementAsked_ = false;
            me->checkPlacement();
        },
        this);
    pa_stream_set_buffer_attr_callback(
        stream_,
        [](pa_stream*, void* self) { static_cast<PulseBackend*>(self)->readBackBufferAttr(); },
        this);
    const pa_buffer_attr attr = bufferAttr(std::max(requestedLatency_, grownLatency_), frameBytes_);
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY);
    // Once the stream was found on a sink other than the one asked for, it goes back there.
    const std::string& sink = sink_.empty() ? placedSink_ : sink_;
    if (pa_stream_connect_playback(stream_, sink.empty() ? nullptr : sink.c_str(), &attr, flags,
                                   nullptr, nullptr) < 0) {
        dropStream();
        feed_->noteFailed();
        return;
    }
    asleep_.store(false, std::memory_order_release);
    feed_->noteAsleep(false);
}

void PulseBackend::writeRequested(pa_stream*, size_t bytes, void* self) {
    auto* me = static_cast<PulseBackend*>(self);
    if (!me->started_) return;  // the first block is written as the stream starts
    me->writeMix(me->paceAfterStall(bytes));
}

void PulseBackend::growBuffer() {
    // The server ran dry although every request was met: its sink takes more at a time than
    // the buffer it granted holds (PipeWire running its graph in larger blocks than the
    // stream asked for, for a device or another client). The buffer is asked larger, for
    // this stream and the ones after it, up to a limit.
    // Underflows just after a stall are the stall's own (a server running its missed cycles
    // back to back), not a sign of a buffer too small.
    if (feed_->clockKeepsTime() || Clock::now() - pacedFrom_ < kPacedWindow) return;
    const int grown = std::min(2 * grantedFrames(), kMaxGrownLatencyFrames);
    if (grown <= grownLatency_ || grown <= grantedFrames()) return;
    grownLatency_ = grown;
    const pa_buffer_attr attr = bufferAttr(grown, frameBytes_);
    drop(pa_stream_set_buffer_attr(
        stream_, &attr,
        [](pa_stream*, int, void* self) { static_cast<PulseBackend*>(self)->readBackBufferAttr(); },
        this));
}

void PulseBackend::writeLeadIn() {
    // PulseAudio mixes ahead of what is heard, and plays a stream that starts (or resumes
    // after running dry) at once by taking back some of what it mixed and mixing it again with
    // the new sound from there. What it had already passed on cannot be taken back: a sink's
    // monitor hands its recorder whole fragments, a device keeps a safeguard. The new sound's
    // first frames would be lost there, so a start is led in by a little silence: only
    // silence can be lost. PipeWire starts a stream with its next cycle, and needs none.
    if (!rewindsOnStart_) return;
    std::fill_n(buffer_.begin(), kLeadInFrames * channels_, 0.0f);
    pa_stream_write(stream_, buffer_.data(), size_t(kLeadInFrames) * frameBytes_, nullptr, 0,
                    PA_SEEK_RELATIVE);
    remember(buffer_.data(), size_t(kLeadInFrames));
}

size_t PulseBackend::paceAfterStall(size_t bytes) {
    // A server that stalled may, once it runs again, ask for what its graph missed in a burst
    // (PipeWire's timer-driven sinks run the missed cycles back to back). The clock kept that
    // time already: for a moment after the stream takes it back, what is mixed is held to
    // the granted buffer plus the time gone by, and the rest of a request is written as
    // silence, which the burst plays into the past. A server that pre-buffered through the
    // stall (PulseAudio) asks for no more than that anyway.
    const auto now = Clock::now();
    if (feed_->clockKeepsTime()) {
        pacedFrom_ = now;
        pacedFrames_ = 0;
    }
    if (now - pacedFrom_ > kPacedWindow) return bytes;
    const int64_t allowed =
        grantedFrames() + nanosToFrames((now - pacedFrom_).count(), sampleRate_) - pacedFrames_;
    const int64_t frames = int64_t(bytes / frameBytes_);
    const int64_t unheard = std::clamp<int64_t>(frames - allowed, 0, frames);
    if (unheard > 0) {
        std::fill(buffer_.begin(), buffer_.end(), 0.0f);
        for (int64_t left = unheard; left > 0 && stream_;) {
            const int64_t n = std::min<int64_t>(left, kMaxWriteFrames);
            pa_stream_write(stream_, buffer_.data(), size_t(n) * frameBytes_, nullptr, 0,
                            PA_SEEK_RELATIVE);
            remember(buffer_.data(), size_t(n));
            left -= n;
        }
    }
    pacedFrames_ += frames - unheard;
    return bytes - size_t(unheard) * frameBytes_;
}

void PulseBackend::writeMix(size_t bytes, bool first) {
    size_t frames = bytes / frameBytes_;
    while (frames > 0 && stream_ && !goingToSleep_) {
        const int n = int(std::min<size_t>(frames, kMaxWriteFrames));
        if (first)
            feed_->prime(buffer_.data(), n, channels_);
        else
            feed_->fill(buffer_.data(), n, channels_);
        pa_stream_write(stream_, buffer_.data(), size_t(n) * frameBytes_, nullptr, 0,
                        PA_SEEK_RELATIVE);
        remember(buffer_.data(), size_t(n));
        frames -= size_t(n);
        if (!first) sleepIfQuiet(n);
    }
}

void PulseBackend::writeFirst() {
    // As much as the server holds, so that it starts at once; nothing more is mixed until it
    // has taken some (its next request), however long it takes to start.
    writeMix(size_t(grantedFrames()) * frameBytes_, true);
}

void PulseBackend::readBackBufferAttr() {
    if (!stream_) return;
    // What the server granted is what it holds and what it asks for at a time: a server whose
    // sink cannot run as fast as asked (a USB or HDMI device, PipeWire's quantum) grants more,
    // and its requests come that much further apart.
    if (const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_))
        if (granted->tlength != uint32_t(-1) && granted->tlength >= frameBytes_)
            granted_.store(int(granted->tlength / frameBytes_), std::memory_order_relaxed);
}

void PulseBackend::sleepIfQuiet(int frames) {
    if (!feed_->runner().quiet() || feed_->runner().owner() != feed_->id()) {
        quietFrames_ = 0;
        silenceQueued_.store(false, std::memory_order_relaxed);
        return;
    }
    quietFrames_ += frames;
    if (quietFrames_ >= grantedFrames()) silenceQueued_.store(true, std::memory_order_relaxed);
    if (quietFrames_ < int64_t(kQuietSecondsBeforeSleep) * sampleRate_) return;
    // Gone, not corked: the sink runs at the lowest latency its streams ask for, corked ones
    // included, and would keep the server waking every few milliseconds while nothing plays.
    // Dropped after this callback returns, not from inside it.
    if (goingToSleep_) return;
    goingToSleep_ = true;
    pa_mainloop_api_once(
        pa_threaded_mainloop_get_api(loop_),
        [](pa_mainloop_api*, void* self) {
            auto* me = static_cast<PulseBackend*>(self);
            me->goingToSleep_ = false;
            if (!me->feed_->runner().quiet()) return;  // a cue started meanwhile
            me->dropStream();
            me->silenceQueued_.store(false, std::memory_order_relaxed);
            me->asleep_.store(true, std::memory_order_release);
            me->feed_->noteAsleep(true);
            // A wake that came just before sleeping would be lost.
            if (me->feed_->runner().applyCommands(me->feed_->id())) me->startStream();
        },
        this);
}

std::vector<OutputDevice> PulseBackend::sinks(int timeoutMs) {
    std::vector<OutputDevice> list;
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Cuevox");
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool listed = false;
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        while (!contextSettled(context) && Clock::now() < deadline) iterate(loop);
        if (pa_context_get_state(context) == PA_CONTEXT_READY) {
            struct Request {
                std::vector<OutputDevice>* list;
                bool* done;
            } request{&list, &listed};
            pa_operation* op = pa_context_get_sink_info_list(
                context,
                [](pa_context*, const pa_sink_info* info, int eol, void* data) {
                    auto* r = static_cast<Request*>(data);
                    if (eol) {
                        *r->done = true;
                        return;
                    }
                    r->list->push_back({std::string("pulse:") + info->name,
                                        info->description ? info->description : info->name});
                },
                &request);
            while (!listed && Clock::now() < deadline) iterate(loop);
            if (op) pa_operation_unref(op);
        }
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return list;
}
