#include "audio/output/PulseBackend.h"

#include <pulse/pulseaudio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "audio/ThreadName.h"
#include "audio/output/RealtimePriority.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kConnectTimeout = std::chrono::seconds(3);
constexpr size_t kFrameBytes = 2 * sizeof(float);
// Silence this long after the last voice ends, and the stream goes to sleep. Long enough that
// a run of Gos keeps it awake.
constexpr int kQuietSecondsBeforeSleep = 2;
constexpr int kMaxWriteFrames = 1 << 14;

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

bool streamSettled(pa_stream* stream) {
    const pa_stream_state_t state = pa_stream_get_state(stream);
    return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
}

}  // namespace

PulseBackend::PulseBackend(std::shared_ptr<StreamFeed> feed, std::string sink, int sampleRate,
                           int latencyFrames)
    : feed_(std::move(feed)),
      sink_(std::move(sink)),
      sampleRate_(sampleRate),
      latency_(latencyFrames),
      buffer_(size_t(kMaxWriteFrames) * 2) {}

PulseBackend::~PulseBackend() {
    close();
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
    if (!waitFor(loop_, [this] { return contextSettled(context_); }))
        return unlockAndFail("the sound server does not answer");
    if (pa_context_get_state(context_) != PA_CONTEXT_READY)
        return unlockAndFail(pa_strerror(pa_context_errno(context_)));

    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, uint32_t(sampleRate_), 2};
    stream_ = pa_stream_new(context_, "Cues", &spec, nullptr);
    if (!stream_) return unlockAndFail(pa_strerror(pa_context_errno(context_)));
    pa_stream_set_write_callback(stream_, &PulseBackend::writeRequested, this);
    pa_stream_set_underflow_callback(
        stream_,
        [](pa_stream*, void* self) {
            auto* me = static_cast<PulseBackend*>(self);
            if (!me->corked_) me->feed_->noteUnderflow();
        },
        this);
    pa_stream_set_state_callback(
        stream_,
        [](pa_stream* s, void* self) {
            if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s)))
                static_cast<PulseBackend*>(self)->feed_->noteFailed();
        },
        this);
    // The server's buffer holds one latency's worth; it asks for more as each half plays.
    // No pre-buffering: an uncorked stream plays what it has at once.
    const uint32_t target = uint32_t(latency_) * kFrameBytes;
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.tlength = target;
    attr.prebuf = 0;
    attr.minreq = target / 2;
    attr.fragsize = uint32_t(-1);
    const auto flags = pa_stream_flags_t(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(stream_, sink_.empty() ? nullptr : sink_.c_str(), &attr, flags,
                                   nullptr, nullptr) < 0)
        return unlockAndFail(pa_strerror(pa_context_errno(context_)));
    if (!waitFor(loop_, [this] { return streamSettled(stream_); }))
        return unlockAndFail("the sound server does not answer");
    if (pa_stream_get_state(stream_) != PA_STREAM_READY)
        return unlockAndFail(pa_strerror(pa_context_errno(context_)));
    if (const pa_buffer_attr* got = pa_stream_get_buffer_attr(stream_))
        latency_ = int(got->tlength / kFrameBytes);

    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) return unlockAndFail("no event descriptor");
    wakeEvent_ = api->io_new(api, wakeFd_, PA_IO_EVENT_INPUT, &PulseBackend::woken, this);
    corked_ = true;
    asleep_.store(true);
    feed_->noteAsleep(true);
    pa_threaded_mainloop_unlock(loop_);
    // Commands may have come while the stream was opening.
    wake();
    return true;
}

void PulseBackend::close() {
    if (!loop_) return;
    // Nothing here waits on the server: the library only closes its socket.
    pa_threaded_mainloop_lock(loop_);
    if (wakeEvent_) pa_threaded_mainloop_get_api(loop_)->io_free(wakeEvent_);
    wakeEvent_ = nullptr;
    if (stream_) {
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
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
    if (wakeFd_ >= 0) ::close(wakeFd_);
    wakeFd_ = -1;
}

void PulseBackend::wake() {
    // A running stream takes commands in with its next block anyway.
    if (!asleep_.load(std::memory_order_acquire) || wakeFd_ < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void PulseBackend::woken(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self) {
    auto* me = static_cast<PulseBackend*>(self);
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(fd, &count, sizeof count);
    if (!me->corked_ || !me->stream_) return;
    if (!me->feed_->runner().applyCommands(me->feed_->id())) return;  // nothing plays yet
    // Something plays: its first block goes into the empty buffer before the stream starts,
    // so the server's first pull is already the cue.
    const size_t writable = pa_stream_writable_size(me->stream_);
    me->quietFrames_ = 0;
    me->writeMix(writable != size_t(-1) && writable > 0 ? writable
                                                        : size_t(me->latency_) * kFrameBytes);
    pa_operation* op = pa_stream_cork(me->stream_, 0, nullptr, nullptr);
    if (op) pa_operation_unref(op);
    me->corked_ = false;
    me->asleep_.store(false, std::memory_order_release);
    me->feed_->noteAsleep(false);
}

void PulseBackend::writeRequested(pa_stream*, size_t bytes, void* self) {
    auto* me = static_cast<PulseBackend*>(self);
    if (!me->realtimeAsked_) {
        askForRealtimePriority();
        me->realtimeAsked_ = true;
    }
    // A sleeping stream leaves the request open: its first block is written when it wakes.
    if (me->corked_) return;
    me->writeMix(bytes);
}

void PulseBackend::writeMix(size_t bytes) {
    size_t frames = bytes / kFrameBytes;
    while (frames > 0) {
        const int n = int(std::min<size_t>(frames, kMaxWriteFrames));
        feed_->fill(buffer_.data(), n);
        pa_stream_write(stream_, buffer_.data(), size_t(n) * kFrameBytes, nullptr, 0,
                        PA_SEEK_RELATIVE);
        frames -= size_t(n);
        sleepIfQuiet(n);
    }
}

void PulseBackend::sleepIfQuiet(int frames) {
    if (corked_) return;
    if (!feed_->runner().quiet() || feed_->runner().owner() != feed_->id()) {
        quietFrames_ = 0;
        return;
    }
    quietFrames_ += frames;
    if (quietFrames_ < int64_t(kQuietSecondsBeforeSleep) * sampleRate_) return;
    // Cork, then drop the silence still queued, so the next wake starts on an empty buffer.
    pa_operation* op = pa_stream_cork(stream_, 1, nullptr, nullptr);
    if (op) pa_operation_unref(op);
    op = pa_stream_flush(stream_, nullptr, nullptr);
    if (op) pa_operation_unref(op);
    corked_ = true;
    asleep_.store(true, std::memory_order_release);
    feed_->noteAsleep(true);
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
