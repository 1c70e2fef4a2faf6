#include "audio/AudioPlayer.h"

#include <cmath>

#include "audio/AudioEngine.h"
#include "audio/DecoderPool.h"
#include "audio/Mixer.h"
#include "audio/Voice.h"

namespace {
// A seek this soon after play() belongs to the start (a trimmed cue calls play, then seeks to
// its start time): that position is kept decoded for the next start.
constexpr auto kStartSeekWindow = std::chrono::milliseconds(150);
}  // namespace

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

bool AudioPlayer::isPlaying() const {
    return voice_ && playing_ &&
           voice_->endedGeneration.load(std::memory_order_acquire) != generation_;
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
    absorbEnd();
    if (!playing_) {
        voice_->anchorA.store(stoppedFrame_);
        voice_->dirty.store(true);
        engine_->decoders().wake();
    }
    return true;
}

bool AudioPlayer::play() {
    if (!voice_) return false;
    if (isPlaying()) return true;
    absorbEnd();
    // The file may have been replaced since this player last read it: what it kept decoded
    // would splice the old file's start onto the new one.
    const FileStamp now = FileStamp::of(path_);
    if (now.valid() && now != voice_->stamp) reloadFile(nullptr);
    unheardEndGeneration_ = 0;
    playing_ = true;
    ++generation_;
    playStartedAt_ = std::chrono::steady_clock::now();
    // Where a player starts is where it will likely start again: keep it decoded.
    if (stoppedFrame_ != voice_->anchorA.load()) voice_->anchorB.store(stoppedFrame_);
    voice_->startFrame.store(stoppedFrame_);
    voice_->failed.store(false);  // the file may be back: try it again
    voice_->starting.store(true);
    MixerCommand c{MixerCommand::Type::Play, voice_.get()};
    c.frame = stoppedFrame_;
    c.count = loops_;
    c.generation = generation_;
    pendingSequence_ = engine_->send(c);
    pendingFrame_ = stoppedFrame_;
    engine_->decoders().wake();
    return true;
}

void AudioPlayer::stop() {
    if (!voice_) return;
    absorbEnd();
    unheardEndGeneration_ = 0;
    if (!playing_) return;
    stoppedFrame_ = frameOf(currentTime());
    playing_ = false;
    // A later end event of the run being stopped must find a different generation.
    ++generation_;
    engine_->send({MixerCommand::Type::Stop, voice_.get()});
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
                  ? std::llround(fadeDuration * engine_->sampleRate())
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

double AudioPlayer::currentTime() const {
    if (!voice_) return 0.0;
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
    pendingSequence_ = engine_->send(c);
    pendingFrame_ = frame;
    if (std::chrono::steady_clock::now() - playStartedAt_ < kStartSeekWindow) {
        voice_->anchorB.store(frame);
        voice_->startFrame.store(frame);
    }
    voice_->dirty.store(true);
    engine_->decoders().wake();
}

void AudioPlayer::setNumberOfLoops(int64_t loops) {
    loops_ = loops;
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
    return true;
}

void AudioPlayer::deliverEnd(uint64_t generation) {
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
