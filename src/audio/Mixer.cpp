#include "audio/Mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "audio/Voice.h"

namespace {
constexpr size_t kCommandCapacity = 1 << 14;
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
        if (command.type == MixerCommand::Type::Play) startSent_->store(true);
        if (command.type == MixerCommand::Type::Follow) followsSent_.fetch_add(1);
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
    v.paused.store(v.rt.paused, std::memory_order_release);
}

void Mixer::applyCommands() {
    applyCommands(false);
}

void Mixer::chainTo(Voice& v, Voice* next) {
    VoiceRt& r = v.rt;
    if (Voice* old = r.plan.next) {
        if (r.prevChainedFrom)
            r.prevChainedFrom->rt.nextChainedFrom = r.nextChainedFrom;
        else
            old->rt.firstChainedFrom = r.nextChainedFrom;
        if (r.nextChainedFrom) r.nextChainedFrom->rt.prevChainedFrom = r.prevChainedFrom;
    }
    r.plan.next = next;
    r.prevChainedFrom = nullptr;
    r.nextChainedFrom = next ? next->rt.firstChainedFrom : nullptr;
    if (next) {
        if (r.nextChainedFrom) r.nextChainedFrom->rt.prevChainedFrom = &v;
        next->rt.firstChainedFrom = &v;
    }
}

void Mixer::replaceVoice(Voice& to, Voice& from) {
    // The player's run goes on in the new voice where it was, fade, loops and all.
    const bool listed = from.rt.inActiveList;
    // The new voice leaves whatever chains it had; the old one's chains become its own.
    chainTo(to, nullptr);
    while (Voice* p = to.rt.firstChainedFrom) chainTo(*p, nullptr);
    Voice* const next = from.rt.plan.next;
    chainTo(from, nullptr);
    Voice* const chainedFrom = from.rt.firstChainedFrom;
    from.rt.firstChainedFrom = nullptr;
    to.rt = from.rt;
    to.rt.firstChainedFrom = chainedFrom;
    for (Voice* p = chainedFrom; p; p = p->rt.nextChainedFrom) p->rt.plan.next = &to;
    chainTo(to, next);
    to.rt.inActiveList = false;
    to.rt.tailLeft = 0;  // the tail would read the new file's audio
    to.endedGeneration.store(from.endedGeneration.load(std::memory_order_acquire),
                             std::memory_order_release);
    if (listed) {
        *std::find(active_.begin(), active_.end(), &from) = &to;
        to.rt.inActiveList = true;
        from.rt.inActiveList = false;
    }
    // Chains waiting on the old voice now run from the new one.
    for (int i = 0; i < followCount_; ++i)
        if (follows_[i].source == &from) follows_[i].source = &to;
    for (int i = 0; i < followShownCount_; ++i)
        if (followShown_[i] == &from) {
            followShown_[i] = &to;
            to.followDue.store(from.followDue.load(std::memory_order_relaxed));
        }
    to.starting.store(false, std::memory_order_release);
    from.rt.playing = false;
    from.rt.tailLeft = 0;
    publish(from);
    retired_.push(&from);
}

void Mixer::publishFollows() {
    if (followCount_ == 0 && followShownCount_ == 0) return;
    // Each voice's earliest chain, found without a store in between: a reader never sees a
    // waiting chain blink out for a block.
    int shown = 0;
    Voice* sources[kMaxFollows];
    int64_t due[kMaxFollows];
    for (int i = 0; i < followCount_; ++i) {
        int s = 0;
        while (s < shown && sources[s] != follows_[i].source) ++s;
        if (s == shown) {
            sources[shown] = follows_[i].source;
            due[shown++] = follows_[i].due;
        } else {
            due[s] = std::min(due[s], follows_[i].due);
        }
    }
    for (int i = 0; i < followShownCount_; ++i)
        if (std::find(sources, sources + shown, followShown_[i]) == sources + shown)
            followShown_[i]->followDue.store(-1, std::memory_order_relaxed);
    for (int s = 0; s < shown; ++s) {
        sources[s]->followDue.store(due[s], std::memory_order_relaxed);
        followShown_[s] = sources[s];
    }
    followShownCount_ = shown;
}

void Mixer::forgetVoice(Voice& gone) {
    chainTo(gone, nullptr);
    while (Voice* v = gone.rt.firstChainedFrom) chainTo(*v, nullptr);
    // A chain from a cue that left the list starts nothing.
    int kept = 0;
    for (int i = 0; i < followCount_; ++i)
        if (follows_[i].source != &gone) follows_[kept++] = follows_[i];
    followCount_ = kept;
    kept = 0;
    for (int i = 0; i < followShownCount_; ++i)
        if (followShown_[i] != &gone) followShown_[kept++] = followShown_[i];
    followShownCount_ = kept;
}

void Mixer::setRamp(VoiceRt& r, float target, int64_t length) {
    r.rampTarget = target;
    if (length <= 0 || !r.playing) {
        r.gain = target;
        r.rampLeft = 0;
    } else {
        r.rampStep = (double(target) - r.gain) / double(length);
        r.rampLeft = length;
    }
}

void Mixer::report(Voice& v, EngineEvent::Type type, bool tracked) {
    EngineEvent e;
    e.type = type;
    e.voiceId = v.id;
    e.generation = v.rt.generation;
    e.mixFrame = renderStart_;
    e.tracked = tracked;
    ends_.push(e);
    eventQueued_ = true;
}

void Mixer::jumpTo(Voice& v, int64_t position) {
    VoiceRt& r = v.rt;
    position = std::max<int64_t>(position, 0);
    // While playing, the old place falls away over a few ms under the new one rising, so a
    // jump never clicks. A run not heard yet (a start and its seek) just moves.
    if (r.playing && !r.paused && !r.fresh && r.gain != 0.0 && !skipping_) {
        r.tailLeft = kStopTailFrames;
        r.tailPosition = r.position;
        r.tailGain = r.gain;
        r.entryLeft = kStopTailFrames;
    }
    r.position = position;
}

void Mixer::startRun(Voice& v, int64_t position, float gain, float target, int64_t ramp,
                     bool trackFadeIn, int64_t at) {
    VoiceRt& r = v.rt;
    r.freshFromSilence = !(r.playing && !r.paused);
    if (r.playing && !r.paused) {
        jumpTo(v, position);
    } else {
        r.position = std::max<int64_t>(position, 0);
        r.entryLeft = 0;
    }
    r.paused = false;
    r.passes = 0;
    r.playing = true;
    r.fresh = true;
    r.startedAt = at;
    r.gain = safeGain(gain);
    setRamp(r, safeGain(target), ramp);
    r.rampNotice = trackFadeIn ? VoiceRt::RampNotice::FadeIn : VoiceRt::RampNotice::None;
    r.stopAtRampEnd = false;
    r.autoFaded = false;
    r.cutEndMet = false;
    addActive(v);
    v.starting.store(false, std::memory_order_release);
}

void Mixer::startChained(Voice& v, int64_t at) {
    VoiceRt& r = v.rt;
    const CuePlan& p = r.plan;
    const bool fadeIn = p.fadeInFrames >= 0;
    // A paused cue is started anew, as a Go on a stopped one: left paused, it would stay
    // silent while its row says it plays.
    if (r.playing && r.paused) {
        r.playing = false;
        r.paused = false;
    }
    if (r.playing) {
        // Started again while it plays, as a click on it would: a fade-in under way is cut
        // short to the cue's level, any other start goes back to the cue's start point.
        jumpTo(v, p.startFrame);
        if (fadeIn && r.rampNotice == VoiceRt::RampNotice::FadeIn && r.rampLeft > 0) {
            setRamp(r, p.volume, std::llround(0.01 * sampleRate_));
            r.rampNotice = VoiceRt::RampNotice::None;
        } else if (fadeIn) {
            r.gain = 0.0;
            setRamp(r, p.volume, p.fadeInFrames);
            r.rampNotice = VoiceRt::RampNotice::FadeIn;
        } else {
            setRamp(r, p.volume, std::llround(0.01 * sampleRate_));
        }
        r.stopAtRampEnd = false;
    } else {
        // A run of the mixer's own: the window adopts it by this generation.
        r.generation += uint64_t(1) << 32;
        r.loopsLeft = p.loops;
        startRun(v, p.startFrame, fadeIn ? 0.0f : p.volume, p.volume, fadeIn ? p.fadeInFrames : 0,
                 fadeIn, at);
    }
    r.startedAt = at;
    r.engineStarted = true;
    v.startedAfterSequence.store(v.appliedSequence.load(std::memory_order_relaxed),
                                 std::memory_order_relaxed);
    v.startedGeneration.store(r.generation, std::memory_order_release);
    const int64_t saved = renderStart_;
    renderStart_ = at;
    report(v, EngineEvent::Type::Started, r.rampNotice == VoiceRt::RampNotice::FadeIn);
    renderStart_ = saved;
    if (p.extendDelay >= 0 && p.next) addFollow(v, at + p.extendDelay);
}

bool Mixer::held(const Follow& f) const {
    return holdFollows_ || f.source->rt.paused;
}

void Mixer::pauseVoice(Voice& v, bool pause) {
    VoiceRt& r = v.rt;
    if (!r.playing || r.paused == pause) return;
    r.paused = pause;
    if (pause) {
        // Falls silent from where it is, as a stop would; the place it holds is the frame
        // after the last one heard at full level.
        if (r.gain != 0.0 && !r.fresh) {
            r.tailLeft = kStopTailFrames;
            r.tailPosition = r.position;
            r.tailGain = r.gain;
        }
        r.fresh = false;
    } else {
        r.entryLeft = kStopTailFrames;
    }
}

void Mixer::applyMaster(float* out, int frames) {
    if (masterLeft_ == 0 && masterGain_ == 1.0) return;
    const int c = channels_;
    int i = 0;
    for (; i < frames && masterLeft_ > 0; ++i) {
        masterGain_ = --masterLeft_ == 0 ? double(masterTarget_) : masterGain_ + masterStep_;
        const float g = float(masterGain_);
        for (int ch = 0; ch < c; ++ch) out[size_t(i) * size_t(c) + size_t(ch)] *= g;
    }
    const float g = float(masterGain_);
    if (g == 1.0f) return;
    for (size_t k = size_t(i) * size_t(c); k < size_t(frames) * size_t(c); ++k) out[k] *= g;
}

void Mixer::addFollow(Voice& source, int64_t due) {
    if (followCount_ == kMaxFollows) {
        droppedFollows_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    follows_[followCount_++] = Follow{&source, due};
}

void Mixer::applyCommands(bool all) {
    startSent_->store(false);
    const uint64_t upTo = all ? UINT64_MAX : committed_.load(std::memory_order_acquire);
    MixerCommand c;
    int removals = 0;
    for (;;) {
        const MixerCommand* next = commands_.front();
        if (!next || next->sequence > upTo) break;
        if (next->type == MixerCommand::Type::Remove && ++removals > kMaxRemovalsPerBlock) break;
        commands_.pop(c);
        switch (c.type) {
            case MixerCommand::Type::HoldFollows:
                holdFollows_ = c.value != 0.0f;
                continue;
            case MixerCommand::Type::CancelFollows:
                followCount_ = 0;
                continue;
            case MixerCommand::Type::SetMaster:
                masterTarget_ = safeGain(c.value);
                masterLeft_ = kGainGlideFrames;
                masterStep_ = (double(masterTarget_) - masterGain_) / kGainGlideFrames;
                continue;
            default:
                break;
        }
        Voice& v = *c.voice;
        VoiceRt& r = v.rt;
        switch (c.type) {
            case MixerCommand::Type::Pause:
            case MixerCommand::Type::Resume:
                pauseVoice(v, c.type == MixerCommand::Type::Pause);
                break;
            case MixerCommand::Type::HoldFollows:
            case MixerCommand::Type::CancelFollows:
            case MixerCommand::Type::SetMaster:
                break;  // taken above
            case MixerCommand::Type::Add:
                break;
            case MixerCommand::Type::Remove:
                if (r.inActiveList) {
                    active_.erase(std::find(active_.begin(), active_.end(), &v));
                    r.inActiveList = false;
                }
                r.playing = false;
                r.tailLeft = 0;
                forgetVoice(v);
                // The voice leaves the audio thread for good; a worker frees it. If the FIFO
                // were full the voice would only leak, never be freed under our feet.
                retired_.push(&v);
                continue;
            case MixerCommand::Type::Play:
                r.generation = c.generation;
                r.loopsLeft = c.count;
                r.engineStarted = false;
                startRun(v, c.frame, c.gain, c.value, c.ramp, c.flags & MixerCommand::kTrackFadeIn,
                         mixFrame_ - earlyFrames_);
                break;
            case MixerCommand::Type::Stop:
                if (r.playing && !r.paused && r.gain != 0.0) {
                    r.tailLeft = kStopTailFrames;
                    r.tailPosition = r.position;
                    r.tailGain = r.gain;
                }
                r.playing = false;
                r.paused = false;
                r.stopAtRampEnd = false;
                r.rampNotice = VoiceRt::RampNotice::None;
                r.rampLeft = 0;
                v.starting.store(false, std::memory_order_release);
                v.dirty.store(true, std::memory_order_release);  // a worker may close the file
                break;
            case MixerCommand::Type::Seek:
                jumpTo(v, c.frame);
                v.starting.store(false, std::memory_order_release);
                break;
            case MixerCommand::Type::SetGain:
            case MixerCommand::Type::Ramp: {
                const bool stopAtEnd = c.flags & MixerCommand::kStopAtEnd;
                if (c.flags & MixerCommand::kRestart) {
                    r.stopAtRampEnd = false;
                    r.rampNotice = VoiceRt::RampNotice::None;
                    r.autoFaded = false;
                    r.cutEndMet = false;
                }
                if (c.flags & MixerCommand::kFromGain) r.gain = safeGain(c.gain);
                // A cue on its way out by a fade keeps falling: a level set meanwhile is the
                // one it plays at from its next start.
                if (r.playing && r.stopAtRampEnd && !stopAtEnd) break;
                const float target = safeGain(c.value);
                int64_t length = c.type == MixerCommand::Type::SetGain
                                     ? (r.playing ? kGainGlideFrames : 0)
                                     : c.count;
                // A new level during a fade-in is reached over what is left of the fade.
                if (c.type == MixerCommand::Type::SetGain && r.playing &&
                    r.rampNotice == VoiceRt::RampNotice::FadeIn && r.rampLeft > length)
                    length = r.rampLeft;
                setRamp(r, target, length);
                if (c.flags & MixerCommand::kTrackFadeIn)
                    r.rampNotice = VoiceRt::RampNotice::FadeIn;
                if (stopAtEnd) {
                    const bool tracked = c.flags & MixerCommand::kTracked;
                    if (r.playing) {
                        // A stop asked for: its silence is no longer the file's end (the
                        // automatic fade cannot begin again while this one stops the cue).
                        r.autoFaded = false;
                        r.stopAtRampEnd = true;
                        r.rampNotice = tracked ? VoiceRt::RampNotice::FadeOut
                                               : VoiceRt::RampNotice::FadeOutUntracked;
                    } else {
                        // Nothing left to fade: the stop it asks for is already done.
                        report(v, EngineEvent::Type::FadeOutDone, tracked);
                    }
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
            case MixerCommand::Type::SetRoute:
                r.outLeft = int(std::clamp<int64_t>(c.frame, 0, kMaxChannels - 1));
                r.outRight = int(std::clamp<int64_t>(c.count, 0, kMaxChannels - 1));
                r.levelLeft = safeGain(c.value);
                r.levelRight = safeGain(c.gain);
                break;
            case MixerCommand::Type::SetPlan: {
                Voice* const next = r.plan.next;
                r.plan = c.plan;
                r.plan.next = next;
                r.plan.volume = safeGain(r.plan.volume);
                chainTo(v, c.plan.next);
                break;
            }
            case MixerCommand::Type::Follow:
                ++followsTakenUnpublished_;
                // From the run's first frame when it follows the start that began the run
                // (applied with it or not), else from now: a cue started again as it plays.
                if (r.plan.next)
                    addFollow(v,
                              ((c.flags & MixerCommand::kFromRunStart) && r.playing ? r.startedAt
                                                                                    : mixFrame_) +
                                  c.frame);
                break;
        }
        publish(v);
        v.appliedSequence.store(c.sequence, std::memory_order_release);
    }
    // Held for a commit: one of them may be a Play.
    if (commands_.front()) startSent_->store(true);
}

void Mixer::stopByTimeline(Voice& v, EngineEvent::Type why, bool tracked) {
    VoiceRt& r = v.rt;
    if (r.gain != 0.0) {
        r.tailLeft = kStopTailFrames;
        r.tailPosition = r.position;
        r.tailGain = r.gain;
    }
    // The reset of a stop: silent at the file's start, at the cue's own level.
    r.playing = false;
    r.position = 0;
    r.rampLeft = 0;
    r.gain = r.plan.volume;
    r.stopAtRampEnd = false;
    r.rampNotice = VoiceRt::RampNotice::None;
    v.dirty.store(true, std::memory_order_release);
    v.endedGeneration.store(r.generation, std::memory_order_release);
    report(v, why, tracked);
}

int64_t Mixer::timeline(Voice& v, int64_t limit) {
    VoiceRt& r = v.rt;
    const CuePlan& p = r.plan;
    // Every pass of a trimmed cue plays its cut: at the cut end of any pass but the last, the
    // next begins at the start point. The fade-out and the stop belong to the last pass.
    if (p.cutEnd >= 0 && r.loopsLeft != 0 && r.position >= p.cutEnd && p.startFrame < p.cutEnd) {
        ++r.passes;
        if (r.loopsLeft > 0) --r.loopsLeft;
        r.position = p.startFrame;
    }
    if (p.fadeOutFrames >= 0 && p.fadeOutEnd >= 0 && !r.autoFaded && !r.stopAtRampEnd &&
        r.loopsLeft == 0) {
        const int64_t begin = p.fadeOutEnd - p.fadeOutFrames;
        if (r.position >= begin) {
            r.autoFaded = true;
            setRamp(r, 0.0f, p.fadeOutFrames);
            r.stopAtRampEnd = true;
            r.rampNotice = VoiceRt::RampNotice::FadeOut;
            report(v, EngineEvent::Type::FadeOutStarted);
        } else {
            limit = std::min(limit, begin - r.position);
        }
    }
    if (p.cutEnd >= 0 && !r.cutEndMet) {
        if (r.position >= p.cutEnd) {
            r.cutEndMet = true;
            if (p.fadeOutFrames < 0) {
                stopByTimeline(v, EngineEvent::Type::CutEnd, false);
                return 0;
            }
            report(v, EngineEvent::Type::CutEnd);
            // A fade-out still under way at the cut end carries the cue on to its silence.
            if (!r.stopAtRampEnd) {
                setRamp(r, 0.0f, p.fadeOutFrames);
                r.stopAtRampEnd = true;
                r.rampNotice = VoiceRt::RampNotice::FadeOutUntracked;
            }
        } else {
            limit = std::min(limit, p.cutEnd - r.position);
        }
    }
    if (r.rampNotice != VoiceRt::RampNotice::None || r.stopAtRampEnd) {
        if (r.rampLeft > 0) return std::min(limit, r.rampLeft);
        const VoiceRt::RampNotice notice = r.rampNotice;
        r.rampNotice = VoiceRt::RampNotice::None;
        if (notice == VoiceRt::RampNotice::FadeIn) report(v, EngineEvent::Type::FadeInDone);
        if (r.stopAtRampEnd) {
            // The automatic fade-out of a cue that plays to its file's end is that end, heard
            // as silence: the chain after it goes, whether or not a decoder met the end first.
            const bool fileEnd = r.autoFaded && p.cutEnd < 0 && r.loopsLeft == 0;
            stopByTimeline(v, EngineEvent::Type::FadeOutDone,
                           notice == VoiceRt::RampNotice::FadeOut);
            if (fileEnd && r.plan.persistDelay >= 0 && r.plan.next)
                addFollow(v, renderStart_ + r.plan.persistDelay);
            return 0;
        }
    }
    return limit;
}

void Mixer::endOfPass(Voice& v) {
    VoiceRt& r = v.rt;
    ++r.passes;
    if (r.loopsLeft != 0) {
        if (r.loopsLeft > 0) --r.loopsLeft;
        // The next pass begins at the start point, unless the file ends before it.
        const int64_t length = v.lengthFrames;
        r.position = length <= 0 || r.plan.startFrame < length ? r.plan.startFrame : 0;
        return;
    }
    const bool fading = r.stopAtRampEnd;
    const bool tracked = r.rampNotice == VoiceRt::RampNotice::FadeOut;
    r.playing = false;
    r.position = 0;
    if (fading) {
        r.gain = r.plan.volume;
        r.rampLeft = 0;
        r.stopAtRampEnd = false;
        r.rampNotice = VoiceRt::RampNotice::None;
    }
    v.dirty.store(true, std::memory_order_release);
    v.endedGeneration.store(r.generation, std::memory_order_release);
    report(v, EngineEvent::Type::Ended);
    // The fade that was to stop it has nothing left to stop.
    if (fading) report(v, EngineEvent::Type::FadeOutDone, tracked);
    // Persist through: from just past the last frame heard.
    if (r.plan.persistDelay >= 0 && r.plan.next) addFollow(v, renderStart_ + r.plan.persistDelay);
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

void Mixer::enterChunk(Voice& v, int64_t chunk, bool missing) {
    VoiceRt& r = v.rt;
    if (chunk == r.chunkEntered && !missing) return;
    const bool jumped = chunk != r.chunkEntered + 1;
    r.chunkEntered = chunk;
    if (!missing && !jumped && chunk < v.refillAt.load(std::memory_order_relaxed)) return;
    // One wake per request: a worker clears it once it has served the voice.
    if (!v.refillAsked.exchange(true, std::memory_order_acq_rel)) decodeWanted_ = true;
}

void Mixer::renderTail(Voice& v, float* out, int frames) {
    VoiceRt& r = v.rt;
    const Route route = routeOf(r);
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
        const int c = channels_;
        float* dstL = out + size_t(done) * size_t(c) + size_t(route.left);
        float* dstR = out + size_t(done) * size_t(c) + size_t(route.right);
        const float gl = r.panLeft * route.levelLeft, gr = r.panRight * route.levelRight;
        for (int i = 0; i < n; ++i) {
            const float g = float(step * (r.tailLeft - i - 1));
            dstL[c * i] += src[2 * i] * g * gl;
            dstR[c * i] += src[2 * i + 1] * g * gr;
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
    const int64_t base = renderStart_;
    float targetLeft, targetRight;
    panGains(r.pan, targetLeft, targetRight);
    const float panStepLeft = (targetLeft - r.panLeft) / float(frames);
    const float panStepRight = (targetRight - r.panRight) / float(frames);
    const float panLeft0 = r.panLeft, panRight0 = r.panRight;
    constexpr double kEntryStep = 1.0 / kStopTailFrames;
    const Route route = routeOf(r);
    const int c = channels_;

    int done = 0;
    int passes = 0;
    while (done < frames && r.playing) {
        // A file shorter than a block loops many times per block; bound the work regardless.
        if (++passes > 64) break;
        renderStart_ = base + done;
        const int64_t untilEvent = timeline(v, frames - done);
        if (!r.playing) break;
        const int64_t chunk = r.position / kChunkFrames;
        const int offset = int(r.position % kChunkFrames);
        const int s = acquireChunk(v, chunk);
        enterChunk(v, chunk, s < 0);
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
                // Time that was never heard: move on to where the clock is, and no further
                // than the file's end, which a decoder may not have reached yet.
                const int64_t length = v.lengthFrames;
                if (length > 0 && r.position >= length) {
                    endOfPass(v);
                    continue;
                }
                int64_t upTo = (chunk + 1) * kChunkFrames;
                if (length > 0) upTo = std::min(upTo, length);
                const int n =
                    int(std::min<int64_t>({int64_t(frames - done), upTo - r.position, untilEvent}));
                const int64_t ramp = std::min<int64_t>(r.rampLeft, n);
                r.rampLeft -= ramp;
                r.gain = r.rampLeft == 0 && ramp > 0 ? double(r.rampTarget)
                                                     : r.gain + r.rampStep * double(ramp);
                r.entryLeft = 0;
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
        const int n =
            int(std::min<int64_t>({int64_t(available), int64_t(frames - done), untilEvent}));
        const float* src = slot.data + size_t(offset) * 2;
        float* dstL = out + size_t(done) * size_t(c) + size_t(route.left);
        float* dstR = out + size_t(done) * size_t(c) + size_t(route.right);
        float pl = panLeft0 + panStepLeft * float(done);
        float pr = panRight0 + panStepRight * float(done);
        int i = 0;
        // The ramp runs per sample, so a fade has no steps and ends exactly on its target.
        for (; i < n && (r.rampLeft > 0 || r.entryLeft > 0); ++i) {
            float g = float(r.gain);
            if (r.entryLeft > 0) g *= float(1.0 - kEntryStep * r.entryLeft--);
            if (r.rampLeft > 0) {
                if (--r.rampLeft == 0)
                    r.gain = r.rampTarget;
                else
                    r.gain += r.rampStep;
            }
            dstL[c * i] += src[2 * i] * g * pl * route.levelLeft;
            dstR[c * i] += src[2 * i + 1] * g * pr * route.levelRight;
            pl += panStepLeft;
            pr += panStepRight;
        }
        const float g = float(r.gain);
        if (panStepLeft == 0.0f && panStepRight == 0.0f) {
            const float gl = g * pl * route.levelLeft, gr = g * pr * route.levelRight;
            for (; i < n; ++i) {
                dstL[c * i] += src[2 * i] * gl;
                dstR[c * i] += src[2 * i + 1] * gr;
            }
        } else {
            for (; i < n; ++i) {
                dstL[c * i] += src[2 * i] * g * pl * route.levelLeft;
                dstR[c * i] += src[2 * i + 1] * g * pr * route.levelRight;
                pl += panStepLeft;
                pr += panStepRight;
            }
        }
        releaseChunk(v);
        r.position += n;
        done += n;
        renderStart_ = base + done;
        if (slotLast && offset + n >= slotFrames) endOfPass(v);
    }
    // Stopped on its own frame (a cut end): the fall to silence starts right there.
    if (!r.playing && r.tailLeft == kStopTailFrames && done < frames)
        renderTail(v, out + size_t(done) * size_t(channels_), frames - done);
    // Time passes for the gain even through an underrun, so a fade still ends on schedule,
    // and a fade that stops the cue stops it there.
    if (done < frames && r.playing && r.rampLeft > 0) {
        const int64_t skip = std::min<int64_t>(r.rampLeft, frames - done);
        r.rampLeft -= skip;
        r.gain = r.rampLeft == 0 ? double(r.rampTarget) : r.gain + r.rampStep * double(skip);
        renderStart_ = base + done + skip;
        if (r.rampLeft == 0) timeline(v, 0);
    }
    r.panLeft = targetLeft;
    r.panRight = targetRight;
    renderStart_ = base;
}

void Mixer::renderActive(float* out, int frames) {
    for (size_t i = active_.size(); i-- > 0;) {
        Voice& v = *active_[i];
        if (v.rt.tailLeft > 0) renderTail(v, out, frames);
        if (v.rt.playing && !v.rt.paused) render(v, out, frames);
        v.rt.fresh = false;
    }
}

void Mixer::fireFollows(float* out, int64_t blockStart, int64_t end) {
    // A chain may start a cue that chains on at once: bounded, as the table is.
    for (int guard = 0; guard < kMaxFollows; ++guard) {
        int first = -1;
        for (int i = 0; i < followCount_; ++i)
            if (!held(follows_[i]) && follows_[i].due < end &&
                (first < 0 || follows_[i].due < follows_[first].due))
                first = i;
        if (first < 0) return;
        const Follow f = follows_[first];
        follows_[first] = follows_[--followCount_];
        Voice* target = f.source->rt.plan.next;
        if (!target) continue;
        const int64_t at = std::max(f.due, blockStart);
        const bool wasPlaying = target->rt.playing;
        startChained(*target, at);
        // Mixed from its own frame on; a cue restarted while it plays was mixed this block
        // already and jumps at the next.
        if (out && !wasPlaying && at < end) {
            renderStart_ = at;
            render(*target, out + size_t(at - blockStart) * size_t(channels_), int(end - at));
        }
        // Not a start the window sent: nothing mixes it ahead of its frame.
        target->rt.fresh = false;
    }
}

void Mixer::process(float* out, int frames, int channels, bool metered) {
    channels_ = std::clamp(channels, 2, kMaxChannels);
    const MixerCommand* next = commands_.front();
    if (next && next->sequence > committed_.load(std::memory_order_acquire))
        heldFrames_ += frames;
    else
        heldFrames_ = 0;
    applyCommands(heldFrames_ >= kMaxHeldFrames);
    std::memset(out, 0, size_t(frames) * size_t(channels_) * sizeof(float));
    // The block is mixed in pieces split where a chained start is due, so that every cue
    // starts on its own frame.
    int done = 0;
    while (done < frames) {
        // Chains due by this piece's first frame start before it is mixed, so that a cue
        // started again while it plays jumps on its frame, as one started from silence begins
        // on it.
        fireFollows(nullptr, mixFrame_, mixFrame_ + 1);
        int n = frames - done;
        for (int i = 0; i < followCount_; ++i)
            if (!held(follows_[i]) && follows_[i].due > mixFrame_ &&
                follows_[i].due - mixFrame_ < n)
                n = int(follows_[i].due - mixFrame_);
        renderStart_ = mixFrame_;
        renderActive(out + size_t(done) * size_t(channels_), n);
        // Chains that came due within the piece (a cue that ended in it, persisting through).
        fireFollows(out + size_t(done) * size_t(channels_), mixFrame_, mixFrame_ + n);
        for (int i = 0; i < followCount_; ++i)
            if (held(follows_[i])) follows_[i].due += n;
        // A paused cue's run start moves on too: extend play counts only the time it played.
        for (Voice* v : active_)
            if (v->rt.paused) v->rt.startedAt += n;
        mixFrame_ += n;
        done += n;
    }
    // A chain due on the next block's first frame (a cue that ended on this block's last) starts
    // now, so the window hears of the start with the end; it is mixed from that frame on.
    fireFollows(nullptr, mixFrame_, mixFrame_ + 1);
    renderStart_ = mixFrame_;
    for (size_t i = active_.size(); i-- > 0;) {
        Voice& v = *active_[i];
        publish(v);
        if (!v.rt.playing && v.rt.tailLeft == 0) {
            v.rt.inActiveList = false;
            active_[i] = active_.back();
            active_.pop_back();
        }
    }
    publishFollows();
    mixFramePublished_.store(mixFrame_, std::memory_order_release);
    // Published before the ones taken are counted, so that a chain is never missing from both.
    followsPending_.store(followCount_, std::memory_order_relaxed);
    followsTaken_.fetch_add(followsTakenUnpublished_, std::memory_order_release);
    followsTakenUnpublished_ = 0;
    applyMaster(out, frames);
    dropNonFinite(out, frames);
    if (metered && !skipping_)
        measure(out, frames);
    else if (metersLive_)
        clearMeters();
    if (eventQueued_) {
        eventQueued_ = false;
        if (eventHook_) eventHook_();
    }
    if (decodeWanted_) {
        decodeWanted_ = false;
        if (decodeHook_) decodeHook_();
    }
}

bool Mixer::onlyStartsPending() const {
    const uint64_t upTo = committed_.load(std::memory_order_acquire);
    // The voices the pending commands start from silence: what else they are sent is not
    // heard yet either.
    constexpr size_t kMostLooked = 64;
    const Voice* starting[kMostLooked];
    size_t starts = 0;
    bool any = false;
    for (size_t i = 0;; ++i) {
        const MixerCommand* c = commands_.peek(i);
        if (!c || c->sequence > upTo) break;
        if (i == kMostLooked) return false;
        const VoiceRt* r = c->voice ? &c->voice->rt : nullptr;
        const bool audible = r && r->playing && !r->paused;
        const bool startedHere =
            std::find(starting, starting + starts, c->voice) != starting + starts;
        switch (c->type) {
            case MixerCommand::Type::Play:
                if (audible) return false;
                starting[starts++] = c->voice;
                any = true;
                break;
            case MixerCommand::Type::Add:
            case MixerCommand::Type::SetPlan:
            case MixerCommand::Type::SetRoute:
            case MixerCommand::Type::SetPan:
            case MixerCommand::Type::SetLoops:
            case MixerCommand::Type::Follow:
                break;
            case MixerCommand::Type::Seek:
            case MixerCommand::Type::SetGain:
            case MixerCommand::Type::Ramp:
                if (audible && !startedHere) return false;
                break;
            default:
                // A stop, a pause or resume, the master, a removal: it would act only where the
                // queued sound ends, after the start it came with.
                return false;
        }
    }
    return any;
}

bool Mixer::startEarly(float* out, int frames, int channels) {
    // Everything a commit holds takes effect on one frame: a start goes over the queued sound
    // only when nothing else in it would act later than the start is heard.
    if (!onlyStartsPending()) return false;
    channels_ = std::clamp(channels, 2, kMaxChannels);
    // The runs begin where the write does: extend play, events and fades count from there.
    earlyFrames_ = frames;
    applyCommands(false);
    earlyFrames_ = 0;
    bool started = false;
    // What is queued already had the master level; a cue started into it gets the same, not
    // full level. Taken off the queued sound and put back over both, so no buffer is needed.
    const float master = float(masterGain_);
    const size_t samples = size_t(frames) * size_t(channels_);
    const bool scaled = master != 1.0f && master != 0.0f;
    if (scaled)
        for (size_t k = 0; k < samples; ++k) out[k] /= master;
    renderStart_ = mixFrame_ - frames;
    for (Voice* v : active_) {
        if (!v->rt.fresh) continue;
        v->rt.fresh = false;
        if (!v->rt.playing || !v->rt.freshFromSilence) continue;
        render(*v, out, frames);
        publish(*v);
        started = true;
    }
    renderStart_ = mixFrame_;
    if (scaled || (started && master == 0.0f))
        for (size_t k = 0; k < samples; ++k) out[k] *= master;
    if (started) dropNonFinite(out, frames);
    if (eventQueued_) {
        eventQueued_ = false;
        if (eventHook_) eventHook_();
    }
    if (decodeWanted_) {
        decodeWanted_ = false;
        if (decodeHook_) decodeHook_();
    }
    return started;
}

void Mixer::dropNonFinite(float* out, int frames) const {
    // Gains are bounded and decoded samples held within range, so this never fires on its
    // own; it keeps one bad value from turning every other cue's sound into NaN.
    for (size_t i = 0; i < size_t(frames) * size_t(channels_); ++i)
        if (!std::isfinite(out[i])) out[i] = 0.0f;
}

Mixer::Route Mixer::routeOf(const VoiceRt& r) const {
    // An output the device lacks: the cue is heard on the first two rather than not at all.
    if (r.outLeft >= channels_ || r.outRight >= channels_) return {0, 1, 1.0f, 1.0f};
    return {r.outLeft, r.outRight, r.levelLeft, r.levelRight};
}

void Mixer::measure(const float* out, int frames) {
    const int c = channels_;
    meterChannels_.store(c, std::memory_order_relaxed);
    // Nothing sounds: nothing to look at (an idle output costs no more than before).
    if (active_.empty() && !metersLive_) return;
    metersLive_ = !active_.empty();
    // One pass over the block in its own order: the channels are interleaved.
    std::array<float, kMaxChannels> peak{};
    std::array<float, kMaxChannels> sum{};
    for (int i = 0; i < frames; ++i) {
        const float* frame = out + size_t(i) * size_t(c);
        for (int ch = 0; ch < c; ++ch) {
            peak[size_t(ch)] = std::max(peak[size_t(ch)], std::abs(frame[ch]));
            sum[size_t(ch)] += frame[ch] * frame[ch];
        }
    }
    for (int ch = 0; ch < c; ++ch) {
        Meter& m = meters_[size_t(ch)];
        // The peak holds until read, so that a short click between two reads still shows.
        float held = m.peak.load(std::memory_order_relaxed);
        while (peak[size_t(ch)] > held &&
               !m.peak.compare_exchange_weak(held, peak[size_t(ch)], std::memory_order_relaxed)) {
        }
        m.rms.store(frames > 0 ? std::sqrt(sum[size_t(ch)] / float(frames)) : 0.0f,
                    std::memory_order_relaxed);
    }
}

void Mixer::clearMeters() {
    // Heard nowhere (the silent clock keeps the time): the meters fall to nothing.
    metersLive_ = false;
    for (Meter& m : meters_) {
        m.peak.store(0.0f, std::memory_order_relaxed);
        m.rms.store(0.0f, std::memory_order_relaxed);
    }
}

int Mixer::readMeters(float* peaks, float* rms, int most) {
    const int n = std::min(meterChannels_.load(std::memory_order_relaxed), most);
    for (int ch = 0; ch < n; ++ch) {
        peaks[ch] = meters_[size_t(ch)].peak.exchange(0.0f, std::memory_order_relaxed);
        rms[ch] = meters_[size_t(ch)].rms.load(std::memory_order_relaxed);
    }
    return n;
}
