#include "audio/Mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "audio/Voice.h"

namespace {
constexpr size_t kCommandCapacity = 1 << 16;
constexpr size_t kEventCapacity = 1 << 12;
}  // namespace

Mixer::Mixer(int sampleRate, size_t maxVoices)
    : sampleRate_(sampleRate),
      commands_(kCommandCapacity),
      ends_(kEventCapacity),
      retired_(kEventCapacity) {
    active_.reserve(maxVoices);
}

uint64_t Mixer::send(MixerCommand command, bool commit) {
    std::function<void()> after;
    {
        std::lock_guard lock(sendMutex_);
        command.sequence = ++nextSequence_;
        // The audio thread drains the FIFO every block; a full FIFO means it is far behind,
        // and the producer (never the audio thread) can afford to wait for room. What is held
        // back for a commit is let go first, or the wait would never end; an output asleep
        // while nothing plays is woken to take it.
        while (!commands_.push(command)) {
            committed_.store(command.sequence - 1, std::memory_order_release);
            if (sendHook_) sendHook_();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // Raised after the push: the audio thread lowers it before it drains the FIFO, so a
        // Play is either still to be found there or leaves the flag raised.
        if (command.type == MixerCommand::Type::Play) startSent_.store(true);
        if (commit) committed_.store(command.sequence, std::memory_order_release);
        after = afterSend_;
    }
    if (commit && sendHook_) sendHook_();
    if (after) after();
    return command.sequence;
}

void Mixer::commit() {
    {
        std::lock_guard lock(sendMutex_);
        committed_.store(nextSequence_, std::memory_order_release);
    }
    if (sendHook_) sendHook_();
}

void Mixer::setAfterSend(std::function<void()> hook) {
    std::lock_guard lock(sendMutex_);
    afterSend_ = std::move(hook);
}

void Mixer::skip(float* scratch, int scratchFrames, int64_t frames) {
    skipping_ = true;
    while (frames > 0) {
        const int n = int(std::min<int64_t>(frames, scratchFrames));
        process(scratch, n);
        frames -= n;
    }
    skipping_ = false;
}

float Mixer::safeGain(float gain) {
    return std::isnan(gain) ? 0.0f : std::clamp(gain, 0.0f, 1.0f);
}

void Mixer::panGains(float pan, float& left, float& right) {
    pan = std::clamp(pan, -1.0f, 1.0f);
    left = right = 1.0f;
    if (pan > 0.0f) left = pan >= 1.0f ? 0.0f : float(std::cos(double(pan) * M_PI / 2));
    if (pan < 0.0f) right = pan <= -1.0f ? 0.0f : float(std::cos(double(-pan) * M_PI / 2));
}

void Mixer::addActive(Voice& v) {
    if (v.rt.inActiveList || active_.size() == active_.capacity()) return;
    active_.push_back(&v);
    v.rt.inActiveList = true;
}

void Mixer::publish(Voice& v) {
    v.playhead.store(v.rt.position, std::memory_order_release);
    v.gainNow.store(float(v.rt.gain), std::memory_order_relaxed);
    v.loopsLeft.store(v.rt.loopsLeft, std::memory_order_relaxed);
    v.active.store(v.rt.playing, std::memory_order_release);
}

void Mixer::applyCommands() {
    applyCommands(false);
}

void Mixer::replaceVoice(Voice& to, Voice& from) {
    // The player's run goes on in the new voice where it was, fade, loops and all.
    const bool listed = from.rt.inActiveList;
    to.rt = from.rt;
    to.rt.inActiveList = false;
    to.rt.tailLeft = 0;  // the tail would read the new file's audio
    to.endedGeneration.store(from.endedGeneration.load(std::memory_order_acquire),
                             std::memory_order_release);
    if (listed) {
        *std::find(active_.begin(), active_.end(), &from) = &to;
        to.rt.inActiveList = true;
        from.rt.inActiveList = false;
    }
    to.starting.store(false, std::memory_order_release);
    from.rt.playing = false;
    from.rt.tailLeft = 0;
    publish(from);
    retired_.push(&from);
}

void Mixer::applyCommands(bool all) {
    startSent_.store(false);
    const uint64_t upTo = all ? UINT64_MAX : committed_.load(std::memory_order_acquire);
    MixerCommand c;
    for (;;) {
        const MixerCommand* next = commands_.front();
        if (!next || next->sequence > upTo) break;
        commands_.pop(c);
        Voice& v = *c.voice;
        VoiceRt& r = v.rt;
        switch (c.type) {
            case MixerCommand::Type::Add:
                break;
            case MixerCommand::Type::Remove:
                if (r.inActiveList) {
                    active_.erase(std::find(active_.begin(), active_.end(), &v));
                    r.inActiveList = false;
                }
                r.playing = false;
                r.tailLeft = 0;
                // The voice leaves the audio thread for good; a worker frees it. If the FIFO
                // were full the voice would only leak, never be freed under our feet.
                retired_.push(&v);
                continue;
            case MixerCommand::Type::Play:
                r.generation = c.generation;
                r.position = std::max<int64_t>(c.frame, 0);
                r.loopsLeft = c.count;
                r.passes = 0;
                r.playing = true;
                r.fresh = true;
                addActive(v);
                v.starting.store(false, std::memory_order_release);
                break;
            case MixerCommand::Type::Stop:
                if (r.playing && r.gain != 0.0) {
                    r.tailLeft = kStopTailFrames;
                    r.tailPosition = r.position;
                    r.tailGain = r.gain;
                }
                r.playing = false;
                v.dirty.store(true, std::memory_order_release);  // a worker may close the file
                break;
            case MixerCommand::Type::Seek:
                r.position = std::max<int64_t>(c.frame, 0);
                break;
            case MixerCommand::Type::SetGain:
            case MixerCommand::Type::Ramp: {
                const float target = safeGain(c.value);
                // A gain set while playing glides over a block rather than stepping.
                const int64_t length = c.type == MixerCommand::Type::SetGain
                                           ? (r.playing ? kGainGlideFrames : 0)
                                           : c.count;
                r.rampTarget = target;
                if (length <= 0 || !r.playing) {
                    r.gain = target;
                    r.rampLeft = 0;
                } else {
                    r.rampStep = (double(target) - r.gain) / double(length);
                    r.rampLeft = length;
                }
                break;
            }
            case MixerCommand::Type::SetLoops:
                // The passes already played count against the new number.
                r.loopsLeft = c.count < 0 ? -1 : std::max<int64_t>(c.count - r.passes, 0);
                break;
            case MixerCommand::Type::Replace:
                replaceVoice(v, *c.from);
                break;
            case MixerCommand::Type::SetPan:
                r.pan = std::isnan(c.value) ? 0.0f : std::clamp(c.value, -1.0f, 1.0f);
                // A stopped voice takes its pan at once; a playing one glides to it over the
                // next block.
                if (!r.playing) panGains(r.pan, r.panLeft, r.panRight);
                break;
        }
        publish(v);
        v.appliedSequence.store(c.sequence, std::memory_order_release);
    }
    // Held for a commit: one of them may be a Play.
    if (commands_.front()) startSent_.store(true);
}

void Mixer::endOfPass(Voice& v) {
    VoiceRt& r = v.rt;
    ++r.passes;
    if (r.loopsLeft != 0) {
        if (r.loopsLeft > 0) --r.loopsLeft;
        r.position = 0;
        return;
    }
    r.playing = false;
    r.position = 0;
    v.dirty.store(true, std::memory_order_release);
    v.endedGeneration.store(r.generation, std::memory_order_release);
    ends_.push(EndEvent{v.id, r.generation});
}

int Mixer::acquireChunk(Voice& v, int64_t chunk) {
    const int s = v.findSlot(chunk);
    if (s < 0) return -1;
    // Announce the read, then confirm the slot still holds the chunk: a worker that wants to
    // overwrite a slot checks this hazard after marking the slot.
    v.hazard.store(s, std::memory_order_seq_cst);
    if (v.cache[s].tag.load(std::memory_order_seq_cst) != chunk) {
        releaseChunk(v);
        return -1;
    }
    return s;
}

void Mixer::releaseChunk(Voice& v) {
    v.hazard.store(-1, std::memory_order_release);
}

void Mixer::renderTail(Voice& v, float* out, int frames) {
    VoiceRt& r = v.rt;
    const double step = r.tailGain / kStopTailFrames;
    int done = 0;
    while (done < frames && r.tailLeft > 0) {
        const int64_t chunk = r.tailPosition / kChunkFrames;
        const int offset = int(r.tailPosition % kChunkFrames);
        const int s = acquireChunk(v, chunk);
        if (s < 0) break;
        const ChunkSlot& slot = v.cache[s];
        const int n = std::min({slot.frames - offset, frames - done, r.tailLeft});
        if (n <= 0) {
            releaseChunk(v);
            break;
        }
        const float* src = slot.data + size_t(offset) * 2;
        float* dst = out + size_t(done) * 2;
        for (int i = 0; i < n; ++i) {
            const float g = float(step * (r.tailLeft - i - 1));
            dst[2 * i] += src[2 * i] * g * r.panLeft;
            dst[2 * i + 1] += src[2 * i + 1] * g * r.panRight;
        }
        releaseChunk(v);
        r.tailLeft -= n;
        r.tailPosition += n;
        done += n;
    }
    if (done < frames) r.tailLeft = 0;  // nothing decoded to fall from: stop here
}

void Mixer::render(Voice& v, float* out, int frames) {
    VoiceRt& r = v.rt;
    float targetLeft, targetRight;
    panGains(r.pan, targetLeft, targetRight);
    const float panStepLeft = (targetLeft - r.panLeft) / float(frames);
    const float panStepRight = (targetRight - r.panRight) / float(frames);
    const float panLeft0 = r.panLeft, panRight0 = r.panRight;

    int done = 0;
    int passes = 0;
    while (done < frames && r.playing) {
        // A file shorter than a block loops many times per block; bound the work regardless.
        if (++passes > 64) break;
        const int64_t chunk = r.position / kChunkFrames;
        const int offset = int(r.position % kChunkFrames);
        const int s = acquireChunk(v, chunk);
        if (s < 0) {
            const int64_t last = v.lastChunk.load(std::memory_order_acquire);
            if (last >= 0 && chunk > last) {
                endOfPass(v);
                continue;
            }
            if (v.failed.load(std::memory_order_acquire)) {
                r.loopsLeft = 0;  // the file is gone: this run ends here
                endOfPass(v);
                continue;
            }
            if (skipping_) {
                // Time that was never heard: move on to where the clock is.
                const int n =
                    int(std::min<int64_t>(frames - done, (chunk + 1) * kChunkFrames - r.position));
                const int64_t ramp = std::min<int64_t>(r.rampLeft, n);
                r.rampLeft -= ramp;
                r.gain = r.rampLeft == 0 && ramp > 0 ? double(r.rampTarget)
                                                     : r.gain + r.rampStep * double(ramp);
                r.position += n;
                done += n;
                continue;
            }
            // Underrun: silence, and the position waits for the data.
            decoderUnderruns_.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        const ChunkSlot& slot = v.cache[s];
        // Read before the release: once released, a worker may refill the slot.
        const int slotFrames = slot.frames;
        const bool slotLast = slot.last;
        const int available = slotFrames - offset;
        if (available <= 0) {
            releaseChunk(v);
            if (slotLast) {
                endOfPass(v);
                continue;
            }
            break;
        }
        const int n = std::min(available, frames - done);
        const float* src = slot.data + size_t(offset) * 2;
        float* dst = out + size_t(done) * 2;
        float pl = panLeft0 + panStepLeft * float(done);
        float pr = panRight0 + panStepRight * float(done);
        int i = 0;
        // The ramp runs per sample, so a fade has no steps and ends exactly on its target.
        for (; i < n && r.rampLeft > 0; ++i) {
            const float g = float(r.gain);
            if (--r.rampLeft == 0)
                r.gain = r.rampTarget;
            else
                r.gain += r.rampStep;
            dst[2 * i] += src[2 * i] * g * pl;
            dst[2 * i + 1] += src[2 * i + 1] * g * pr;
            pl += panStepLeft;
            pr += panStepRight;
        }
        const float g = float(r.gain);
        if (panStepLeft == 0.0f && panStepRight == 0.0f) {
            for (; i < n; ++i) {
                dst[2 * i] += src[2 * i] * g * pl;
                dst[2 * i + 1] += src[2 * i + 1] * g * pr;
            }
        } else {
            for (; i < n; ++i) {
                dst[2 * i] += src[2 * i] * g * pl;
                dst[2 * i + 1] += src[2 * i + 1] * g * pr;
                pl += panStepLeft;
                pr += panStepRight;
            }
        }
        releaseChunk(v);
        r.position += n;
        done += n;
        if (slotLast && offset + n >= slotFrames) endOfPass(v);
    }
    // Time passes for the gain even through an underrun, so a fade still ends on schedule.
    if (done < frames && r.rampLeft > 0) {
        const int64_t skip = std::min<int64_t>(r.rampLeft, frames - done);
        r.rampLeft -= skip;
        r.gain = r.rampLeft == 0 ? double(r.rampTarget) : r.gain + r.rampStep * double(skip);
    }
    r.panLeft = targetLeft;
    r.panRight = targetRight;
}

void Mixer::process(float* out, int frames) {
    const MixerCommand* next = commands_.front();
    if (next && next->sequence > committed_.load(std::memory_order_acquire))
        heldFrames_ += frames;
    else
        heldFrames_ = 0;
    applyCommands(heldFrames_ >= kMaxHeldFrames);
    std::memset(out, 0, size_t(frames) * 2 * sizeof(float));
    for (size_t i = active_.size(); i-- > 0;) {
        Voice& v = *active_[i];
        if (v.rt.tailLeft > 0) renderTail(v, out, frames);
        if (v.rt.playing) render(v, out, frames);
        v.rt.fresh = false;
        publish(v);
        if (!v.rt.playing && v.rt.tailLeft == 0) {
            v.rt.inActiveList = false;
            active_[i] = active_.back();
            active_.pop_back();
        }
    }
    dropNonFinite(out, frames);
}

bool Mixer::startEarly(float* out, int frames) {
    applyCommands(false);
    bool started = false;
    for (Voice* v : active_) {
        if (!v->rt.fresh) continue;
        v->rt.fresh = false;
        if (!v->rt.playing) continue;
        render(*v, out, frames);
        publish(*v);
        started = true;
    }
    if (started) dropNonFinite(out, frames);
    return started;
}

void Mixer::dropNonFinite(float* out, int frames) {
    // Gains are bounded and decoded samples held within range, so this never fires on its
    // own; it keeps one bad value from turning every other cue's sound into NaN.
    for (size_t i = 0; i < size_t(frames) * 2; ++i)
        if (!std::isfinite(out[i])) out[i] = 0.0f;
}
