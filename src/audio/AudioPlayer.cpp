#include "audio/AudioPlayer.h"

#include <algorithm>
#include <cmath>

#include "audio/AudioEngine.h"
#include "audio/DecoderPool.h"
#include "audio/Mixer.h"
#include "audio/Voice.h"

AudioPlayer::AudioPlayer() = default;

AudioPlayer::AudioPlayer(AudioEngine& engine, std::shared_ptr<Voice> voice, std::string path,
                         double duration)
    : engine_(&engine), voice_(std::move(voice)), path_(std::move(path)), duration_(duration) {}

AudioPlayer::~AudioPlayer() {
    if (!voice_) return;
    engine_->forgetPlayer(voice_->id);
    engine_->send({MixerCommand::Type::Remove, voice_.get()});
    engine_->decoders().wake();
}

std::unique_ptr<AudioPlayer> AudioPlayer::initWithContentsOfURL(const std::string& path,
                                                                std::string* error,
                                                                AudioEngine* engine) {
    if (!engine) engine = &AudioEngine::shared();
    return engine->openPlayer(path, error);
}

int64_t AudioPlayer::frameOf(double seconds) const {
    if (!std::isfinite(seconds) || seconds <= 0.0) return 0;
    return std::llround(seconds * engine_->sampleRate());
}

void AudioPlayer::absorbStart() const {
    if (!voice_) return;
    const uint64_t started = voice_->startedGeneration.load(std::memory_order_acquire);
    if (started == adoptedStart_) return;
    // Superseded when we sent a start or stop of our own after the engine's.
    if (voice_->startedAfterSequence.load(std::memory_order_relaxed) < lastTransport_) return;
    adoptedStart_ = started;
    if (voice_->endedGeneration.load(std::memory_order_acquire) == started) {
        // Started and already over (a short cue while the GUI was held up): the end event of
        // that run is still to come.
        playing_ = false;
        generation_ = started;
        unheardEndGeneration_ = started;
        return;
    }
    playing_ = true;
    generation_ = started;
    unheardEndGeneration_ = 0;
}

uint64_t AudioPlayer::sendTransport(const MixerCommand& command) {
    lastTransport_ = engine_->send(command);
    return lastTransport_;
}

bool AudioPlayer::isPlaying() const {
    absorbStart();
    return voice_ && playing_ &&
           voice_->endedGeneration.load(std::memory_order_acquire) != generation_;
}

int64_t AudioPlayer::loopsLeft() const {
    return isPlaying() ? voice_->loopsLeft.load(std::memory_order_relaxed) : 0;
}

double AudioPlayer::chainDueIn() const {
    if (!voice_) return -1.0;
    const int64_t due = voice_->followDue.load(std::memory_order_relaxed);
    if (due < 0) return -1.0;
    const int64_t now = engine_->mixer().mixFrame();
    return double(std::max<int64_t>(due - now, 0)) / engine_->sampleRate();
}

bool AudioPlayer::endedUnheard() const {
    return voice_ && playing_ &&
           voice_->endedGeneration.load(std::memory_order_acquire) == generation_;
}

void AudioPlayer::absorbEnd() {
    if (!endedUnheard()) return;
    // The audio thread finished this run and rewound it; the GUI just hasn't heard yet. The
    // end event still comes, unless play() or stop() supersedes it.
    playing_ = false;
    stoppedFrame_ = 0;
    unheardEndGeneration_ = generation_;
}

bool AudioPlayer::prepareToPlay() {
    if (!voice_) return false;
    absorbStart();
    absorbEnd();
    if (!playing_) {
        // The cue's own start point (the plan's) stays in anchorA.
        if (stoppedFrame_ != voice_->anchorA.load()) voice_->anchorB.store(stoppedFrame_);
        voice_->dirty.store(true);
        engine_->decoders().wake();
    }
    return true;
}

bool AudioPlayer::play() {
    if (!voice_) return false;
    if (isPlaying()) return true;
    absorbEnd();
    const float gain = Mixer::safeGain(volume_);
    return start(double(stoppedFrame_) / engine_->sampleRate(), gain, gain, 0.0, false);
}

bool AudioPlayer::start(double seconds, float gain, float target, double rampSeconds,
                        bool trackFadeIn) {
    if (!voice_) return false;
    absorbStart();
    absorbEnd();
    // No file is looked at here: a Go must not wait on the disk. A file replaced by an import
    // is reloaded by that import (AudioEngine::fileReplaced).
    const int64_t frame = frameOf(seconds);
    unheardEndGeneration_ = 0;
    playing_ = true;
    ++generation_;
    volume_ = target;
    // Where a player starts is where it will likely start again: keep it decoded.
    if (frame != voice_->anchorA.load()) voice_->anchorB.store(frame);
    voice_->startFrame.store(frame);
    voice_->failed.store(false);  // the file may be back: try it again
    voice_->starting.store(true);
    MixerCommand c{MixerCommand::Type::Play, voice_.get()};
    c.frame = frame;
    c.count = loops_;
    c.generation = generation_;
    c.gain = Mixer::safeGain(gain);
    c.value = Mixer::safeGain(target);
    c.ramp = std::isfinite(rampSeconds) && rampSeconds > 0.0
                 ? std::llround(std::min(rampSeconds, 3.2e7) * engine_->sampleRate())
                 : 0;
    if (trackFadeIn) c.flags = MixerCommand::kTrackFadeIn;
    pendingSequence_ = sendTransport(c);
    pendingFrame_ = frame;
    engine_->decoders().wake();
    return true;
}

void AudioPlayer::restartRamp(float from, float volume, double seconds, bool trackFadeIn) {
    volume_ = volume;
    if (!voice_) return;
    absorbStart();
    MixerCommand c{MixerCommand::Type::Ramp, voice_.get()};
    c.value = Mixer::safeGain(volume);
    c.count = std::isfinite(seconds) && seconds > 0.0
                  ? std::llround(std::min(seconds, 3.2e7) * engine_->sampleRate())
                  : 0;
    c.flags = MixerCommand::kRestart | (trackFadeIn ? MixerCommand::kTrackFadeIn : 0);
    if (!std::isnan(from)) {
        c.flags |= MixerCommand::kFromGain;
        c.gain = Mixer::safeGain(from);
    }
    sendTransport(c);
}

void AudioPlayer::fadeOutAndStop(double seconds, bool tracked) {
    // volume() keeps the level: the stop at the fade's end resets the gain to it.
    if (!voice_) return;
    absorbStart();
    const uint8_t flags = MixerCommand::kStopAtEnd | (tracked ? MixerCommand::kTracked : 0);
    MixerCommand c{MixerCommand::Type::Ramp, voice_.get()};
    c.value = 0.0f;
    c.count = std::isfinite(seconds) && seconds > 0.0
                  ? std::llround(std::min(seconds, 3.2e7) * engine_->sampleRate())
                  : 0;
    c.flags = flags;
    sendTransport(c);
}

void AudioPlayer::setPlan(CuePlan plan, const AudioPlayer* next) {
    if (!voice_) return;
    plan.next = next && next->voice_ ? next->voice_.get() : nullptr;
    const uint32_t nextId = plan.next ? plan.next->id : 0;
    // A stopped cue starts where its plan says: keep that decoded before the Go.
    if (plan.startFrame != voice_->anchorA.load()) {
        voice_->anchorA.store(plan.startFrame);
        voice_->dirty.store(true);
        engine_->decoders().wake();
    }
    if (planSent_ && plan == plan_ && nextId == planNextId_) return;
    plan_ = plan;
    planNextId_ = nextId;
    planSent_ = true;
    MixerCommand c{MixerCommand::Type::SetPlan, voice_.get()};
    c.plan = plan;
    engine_->send(c);
}

void AudioPlayer::followAfter(double seconds, bool fromRunStart) {
    if (!voice_) return;
    MixerCommand c{MixerCommand::Type::Follow, voice_.get()};
    c.frame = frameOf(seconds);
    if (fromRunStart) c.flags = MixerCommand::kFromRunStart;
    engine_->send(c);
}

void AudioPlayer::stop() {
    if (!voice_) return;
    absorbStart();
    absorbEnd();
    unheardEndGeneration_ = 0;
    if (!playing_) return;
    stoppedFrame_ = frameOf(currentTime());
    playing_ = false;
    // A later end event of the run being stopped must find a different generation.
    ++generation_;
    sendTransport({MixerCommand::Type::Stop, voice_.get()});
}

void AudioPlayer::setVolume(float volume) {
    volume_ = volume;
    if (!voice_) return;
    MixerCommand c{MixerCommand::Type::SetGain, voice_.get()};
    c.value = Mixer::safeGain(volume);
    engine_->send(c);
}

void AudioPlayer::setVolume(float volume, double fadeDuration) {
    volume_ = volume;
    if (!voice_) return;
    MixerCommand c{MixerCommand::Type::Ramp, voice_.get()};
    c.value = Mixer::safeGain(volume);
    c.count = std::isfinite(fadeDuration) && fadeDuration > 0.0
                  ? std::llround(std::min(fadeDuration, 3.2e7) * engine_->sampleRate())
                  : 0;
    engine_->send(c);
}

float AudioPlayer::currentGain() const {
    return voice_ ? voice_->gainNow.load(std::memory_order_relaxed) : volume_;
}

void AudioPlayer::setPan(float pan) {
    pan_ = pan;
    if (!voice_) return;
    MixerCommand c{MixerCommand::Type::SetPan, voice_.get()};
    c.value = pan;
    engine_->send(c);
}

void AudioPlayer::setRoute(int left, int right, float leftLevel, float rightLevel) {
    if (!voice_) return;
    MixerCommand c{MixerCommand::Type::SetRoute, voice_.get()};
    c.frame = left;
    c.count = right;
    c.value = leftLevel;
    c.gain = rightLevel;
    engine_->send(c);
}

void AudioPlayer::pause() {
    if (!isPlaying() || isPaused()) return;
    pausedGeneration_ = generation_;
    engine_->send(MixerCommand{MixerCommand::Type::Pause, voice_.get()});
}

void AudioPlayer::resume() {
    if (!isPaused()) return;
    pausedGeneration_ = 0;
    engine_->send(MixerCommand{MixerCommand::Type::Resume, voice_.get()});
}

bool AudioPlayer::isPaused() const {
    return pausedGeneration_ != 0 && isPlaying() && pausedGeneration_ == generation_;
}

double AudioPlayer::currentTime() const {
    if (!voice_) return 0.0;
    absorbStart();
    if (endedUnheard()) return 0.0;
    if (!playing_) return double(stoppedFrame_) / engine_->sampleRate();
    // Until the audio thread has taken the last play or seek, that is where the player is.
    if (voice_->appliedSequence.load(std::memory_order_acquire) < pendingSequence_)
        return double(pendingFrame_) / engine_->sampleRate();
    return double(voice_->playhead.load(std::memory_order_acquire)) / engine_->sampleRate();
}

void AudioPlayer::setCurrentTime(double seconds) {
    if (!voice_) return;
    const int64_t frame = frameOf(seconds);
    absorbStart();
    absorbEnd();
    if (!playing_) {
        stoppedFrame_ = frame;
        // A cue seeks to its start point before it plays: begin decoding there now.
        if (frame != voice_->anchorA.load()) voice_->anchorB.store(frame);
        voice_->dirty.store(true);
        engine_->decoders().wake();
        return;
    }
    MixerCommand c{MixerCommand::Type::Seek, voice_.get()};
    c.frame = frame;
    pendingSequence_ = sendTransport(c);
    pendingFrame_ = frame;
    voice_->startFrame.store(frame);
    voice_->starting.store(true);
    voice_->dirty.store(true);
    engine_->decoders().wake();
}

void AudioPlayer::setNumberOfLoops(int64_t loops) {
    loops_ = loops;
    absorbStart();
    // A running pass takes the new count at once (the next play() sends it anyway).
    if (!voice_ || !playing_) return;
    MixerCommand c{MixerCommand::Type::SetLoops, voice_.get()};
    c.count = loops;
    engine_->send(c);
}

bool AudioPlayer::reloadFile(std::string* error) {
    if (!voice_) return false;
    double duration = 0.0;
    auto fresh = engine_->openVoice(path_, voice_->id, &duration, error);
    if (!fresh) return false;
    takeReloaded(std::move(fresh), duration, true);
    return true;
}

void AudioPlayer::takeReloaded(std::shared_ptr<Voice> fresh, double duration, bool decodeHere) {
    absorbStart();
    absorbEnd();
    // The new voice keeps the old one's start points decoded; a running player goes on where
    // it is, so the new file is decoded there before the hand-over.
    fresh->anchorA.store(voice_->anchorA.load());
    fresh->anchorB.store(voice_->anchorB.load());
    const int64_t at = playing_ ? frameOf(currentTime()) : stoppedFrame_;
    if (playing_) {
        fresh->startFrame.store(at);
        fresh->starting.store(true);
    }
    if (decodeHere)
        while (DecoderPool::service(*fresh)) {
        }
    const uint64_t sequence = engine_->replaceVoice(fresh, *voice_);
    if (playing_) {
        pendingSequence_ = sequence;
        pendingFrame_ = at;
    }
    voice_ = std::move(fresh);
    duration_ = duration;
    engine_->decoders().wake();
}

void AudioPlayer::deliverEnd(uint64_t generation) {
    absorbStart();
    if (playing_ && generation == generation_) {
        playing_ = false;
        stoppedFrame_ = 0;
    } else if (generation != 0 && generation == unheardEndGeneration_) {
        unheardEndGeneration_ = 0;
    } else {
        return;  // stopped or restarted since
    }
    if (delegate_) delegate_->audioPlayerDidFinishPlaying(this, true);
}

void AudioPlayer::deliverEvent(const EngineEvent& event) {
    if (event.type == EngineEvent::Type::Ended) {
        deliverEnd(event.generation);
        return;
    }
    absorbStart();
    // Only the present run's events: a later start or stop of ours made the rest history.
    if (event.generation != generation_) return;
    if (delegate_) delegate_->audioPlayerTimeline(this, event);
}
