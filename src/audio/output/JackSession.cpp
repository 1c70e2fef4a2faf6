#include "audio/output/JackSession.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "audio/Mixer.h"
#include "audio/ThreadName.h"

static_assert(JackSession::kMaxPorts == Mixer::kMaxChannels);

namespace {

// Without a server the library prints every attempt to reach one, once a second while the
// output waits for it: no news for the operator, who is told by the output's own notice.
template <typename F>
auto quietly(F&& f) {
    jack_set_error_function([](const char*) {});
    jack_set_info_function([](const char*) {});
    auto result = f();
    jack_set_error_function([](const char* text) { std::fprintf(stderr, "%s\n", text); });
    return result;
}

std::string otherRate(int rate, int sampleRate) {
    return "the JACK server runs at " + std::to_string(rate) + " Hz, Cuevox plays at " +
           std::to_string(sampleRate) + " Hz";
}

std::string portName(int index) {
    return "out_" + std::to_string(index + 1);
}

}  // namespace

JackSession& JackSession::instance() {
    static JackSession* session = new JackSession;
    return *session;
}

JackSession::JackSession() {
    std::thread([this] {
        nameThisThread("cuevox-jack");
        watch();
    }).detach();
}

bool JackSession::serverRuns() {
    JackSession& s = instance();
    {
        std::lock_guard lock(s.mutex_);
        if (s.client_ && !s.dead_.load()) return true;
    }
    jack_status_t status{};
    jack_client_t* probe =
        quietly([&] { return jack_client_open("Cuevox probe", JackNoStartServer, &status); });
    if (!probe) return false;
    jack_client_close(probe);
    return true;
}

bool JackSession::attach(Slot& slot, int channels, int sampleRate, std::string* why) {
    std::lock_guard lock(mutex_);
    if (client_ && dead_.load()) closeClient();
    if (!client_ && !openClient(channels, sampleRate, why)) return false;
    if (const int rate = int(jack_get_sample_rate(client_)); rate != sampleRate) {
        if (why) *why = otherRate(rate, sampleRate);
        return false;
    }
    slot.quiet = false;
    for (auto& place : slots_) {
        Slot* none = nullptr;
        if (place.compare_exchange_strong(none, &slot)) return true;
    }
    if (why) *why = "too many JACK streams at once";
    return false;
}

void JackSession::detach(Slot& slot) {
    for (auto& place : slots_) {
        Slot* mine = &slot;
        place.compare_exchange_strong(mine, nullptr);
    }
    // Pairs with the callbacks' count-then-look: either a callback sees the slot gone, or this
    // sees it running and waits for it (a block's mix, never longer).
    while (inCallbacks_.load() != 0) std::this_thread::yield();
}

bool JackSession::openClient(int channels, int sampleRate, std::string* why) {
    auto fail = [&](const std::string& text) {
        if (why) *why = text;
        closeClient();
        return false;
    };
    jack_status_t status{};
    client_ = quietly([&] { return jack_client_open("Cuevox", JackNoStartServer, &status); });
    if (!client_) return fail("no JACK server is running");
    dead_.store(false);
    // A server at another rate would play every cue off pitch: refused before any port shows.
    if (const int rate = int(jack_get_sample_rate(client_)); rate != sampleRate)
        return fail(otherRate(rate, sampleRate));
    // The mixer mixes two channels at least.
    const int count = std::clamp(channels, 2, kMaxPorts);
    for (int i = 0; i < count; ++i) {
        ports_[size_t(i)] = jack_port_register(client_, portName(i).c_str(),
                                               JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        if (!ports_[size_t(i)]) return fail("the JACK server refused the port " + portName(i));
    }
    portCount_.store(count);
    growScratch(int(jack_get_buffer_size(client_)));
    jack_set_process_callback(client_, &JackSession::process, this);
    jack_set_buffer_size_callback(client_, &JackSession::bufferSizeChanged, this);
    jack_on_info_shutdown(client_, &JackSession::shutDown, this);
    jack_set_xrun_callback(
        client_,
        [](void* self) {
            static_cast<JackSession*>(self)->xruns_.fetch_add(1, std::memory_order_relaxed);
            return 0;
        },
        this);
    jack_set_port_connect_callback(
        client_, [](jack_port_id_t, jack_port_id_t, int, void* self) { poke(self); }, this);
    jack_set_port_registration_callback(
        client_, [](jack_port_id_t, int, void* self) { poke(self); }, this);
    jack_set_graph_order_callback(
        client_,
        [](void* self) {
            poke(self);
            return 0;
        },
        this);
    if (jack_activate(client_) != 0) return fail("the JACK server did not start the client");
    // What the ports had before the server went away is made again as the other ends appear.
    missing_ = connections_;
    updateLatency();
    poke(this);
    return true;
}

void JackSession::closeClient() {
    if (!client_) return;
    // After the server went away this only frees what the library holds.
    jack_client_close(client_);
    client_ = nullptr;
    portCount_.store(0);
    ports_.fill(nullptr);
    scratch_.store(nullptr);
    std::lock_guard lock(scratchMutex_);
    scratches_.clear();
}

void JackSession::growScratch(int frames) {
    std::lock_guard lock(scratchMutex_);
    const int channels = std::max(portCount_.load(), 1);
    if (Scratch* now = scratch_.load(); now && now->frames >= frames) return;
    auto scratch = std::make_unique<Scratch>();
    scratch->frames = std::max(frames, 64);
    scratch->data = std::make_unique<float[]>(size_t(scratch->frames) * size_t(channels));
    // The one the process callback may be using stays until the client closes.
    scratch_.store(scratch.get());
    scratches_.push_back(std::move(scratch));
}

int JackSession::bufferSizeChanged(jack_nframes_t frames, void* self) {
    auto* me = static_cast<JackSession*>(self);
    me->growScratch(int(frames));
    poke(self);
    return 0;
}

int JackSession::process(jack_nframes_t nframes, void* self) {
    auto* me = static_cast<JackSession*>(self);
    const int frames = int(nframes);
    const int channels = me->portCount_.load(std::memory_order_relaxed);
    float* out[kMaxPorts];
    for (int c = 0; c < channels; ++c) {
        out[c] = static_cast<float*>(jack_port_get_buffer(me->ports_[size_t(c)], nframes));
        std::memset(out[c], 0, size_t(frames) * sizeof(float));
    }
    Scratch* scratch = me->scratch_.load(std::memory_order_acquire);
    if (!scratch || channels == 0) return 0;
    const bool xrun = me->xruns_.exchange(0, std::memory_order_relaxed) > 0;
    me->inCallbacks_.fetch_add(1);
    for (auto& place : me->slots_) {
        Slot* slot = place.load();
        if (!slot) continue;
        StreamFeed& feed = *slot->feed;
        if (xrun) feed.noteUnderflow();
        // Nothing plays and nothing was sent: the ports' silence is all there is to do.
        const bool asked = slot->wakeAsked.exchange(false, std::memory_order_acq_rel);
        if (slot->quiet && !asked && !feed.runner().startSent() && !feed.clockKeepsTime()) {
            feed.idle();
            continue;
        }
        // In pieces, should the server ever ask for more than the scratch holds.
        for (int done = 0; done < frames;) {
            const int n = std::min(frames - done, scratch->frames);
            feed.fill(scratch->data.get(), n, channels);
            const float* in = scratch->data.get();
            for (int i = 0; i < n; ++i)
                for (int c = 0; c < channels; ++c) out[c][done + i] += *in++;
            done += n;
        }
        slot->quiet = feed.runner().quiet() && feed.runner().owner() == feed.id();
    }
    me->inCallbacks_.fetch_sub(1);
    return 0;
}

void JackSession::shutDown(jack_status_t, const char*, void* self) {
    auto* me = static_cast<JackSession*>(self);
    me->dead_.store(true);
    me->inCallbacks_.fetch_add(1);
    for (auto& place : me->slots_)
        if (Slot* slot = place.load()) slot->feed->noteFailed();
    me->inCallbacks_.fetch_sub(1);
}

void JackSession::poke(void* self) {
    auto* me = static_cast<JackSession*>(self);
    {
        std::lock_guard lock(me->watchMutex_);
        me->watchDue_ = true;
    }
    me->watchCv_.notify_one();
}

void JackSession::watch() {
    for (;;) {
        {
            std::unique_lock lock(watchMutex_);
            watchCv_.wait(lock, [this] { return watchDue_; });
            watchDue_ = false;
        }
        std::lock_guard lock(mutex_);
        if (!client_ || dead_.load()) continue;
        keepConnections();
        updateLatency();
    }
}

void JackSession::keepConnections() {
    std::set<std::pair<std::string, std::string>> now;
    const int count = portCount_.load();
    for (int i = 0; i < count; ++i) {
        const char** peers = jack_port_get_all_connections(client_, ports_[size_t(i)]);
        for (const char** p = peers; p && *p; ++p) now.insert({portName(i), *p});
        if (peers) jack_free(peers);
    }
    for (auto it = missing_.begin(); it != missing_.end();) {
        const auto& [mine, other] = *it;
        const std::string full = nameLocked() + ":" + mine;
        if (now.count(*it) || (jack_port_by_name(client_, other.c_str()) &&
                               jack_port_by_name(client_, full.c_str()) &&
                               jack_connect(client_, full.c_str(), other.c_str()) == 0)) {
            now.insert(*it);
            it = missing_.erase(it);
        } else {
            ++it;
        }
    }
    // A connection undone by hand is forgotten; one still to be made again is kept.
    connections_ = now;
    connections_.insert(missing_.begin(), missing_.end());
}

void JackSession::updateLatency() {
    if (!client_ || portCount_.load() == 0) return;
    jack_latency_range_t range{};
    jack_port_get_latency_range(ports_[0], JackPlaybackLatency, &range);
    latency_.store(int(range.max + jack_get_buffer_size(client_)), std::memory_order_relaxed);
}

std::vector<std::string> JackSession::channelNames() const {
    std::vector<std::string> names;
    for (int i = 0; i < portCount_.load(); ++i) names.push_back(portName(i));
    return names;
}

std::string JackSession::clientName() const {
    std::lock_guard lock(mutex_);
    return nameLocked();
}

std::string JackSession::nameLocked() const {
    return client_ ? jack_get_client_name(client_) : "Cuevox";
}
