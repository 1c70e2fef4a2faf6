#include "audio/AudioEngine.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QFileSystemWatcher>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include "audio/AudioPlayer.h"
#include "audio/DecoderPool.h"
#include "audio/Mixer.h"
#include "audio/OutputStream.h"
#include "audio/ThreadName.h"
#include "audio/Voice.h"

namespace {
constexpr int kDecoderThreads = 2;
}  // namespace

class EventPump;

// Lives on the GUI thread and runs what the pump has queued there.
class PumpTarget : public QObject {
    Q_OBJECT
public:
    explicit PumpTarget(EventPump& pump) : pump_(pump) {}
    Q_INVOKABLE void drain();

private:
    EventPump& pump_;
};

// Carries end events from the workers to the GUI thread, where the players live. The work
// travels in a queue of our own under a mutex; Qt's event only says "drain", named rather than
// a functor, so every byte a worker wrote is handed over through a lock the thread sanitizer
// sees (Qt's own event queue locks are invisible to it).
class EventPump {
public:
    EventPump() {
        if (QCoreApplication* app = QCoreApplication::instance()) {
            target_ = new PumpTarget(*this);
            target_->moveToThread(app->thread());
        }
    }
    ~EventPump() { delete target_; }

    void post(std::function<void()> fn) {
        if (!target_) return;
        std::lock_guard lock(mutex_);
        const bool first = pending_.empty();
        pending_.push_back(std::move(fn));
        // A non-empty queue already has its drain on the way. Posted under the lock: Qt frees
        // its event after drain() has taken the lock, so the sanitizer sees the event's
        // allocation here happen before that free.
        if (first) QMetaObject::invokeMethod(target_, "drain", Qt::QueuedConnection);
    }

    void drain() {
        std::vector<std::function<void()>> work;
        {
            std::lock_guard lock(mutex_);
            work.swap(pending_);
        }
        for (auto& fn : work) fn();
    }

    // Whether commands sent now can wait for the end of the GUI event being handled: only
    // inside the event loop of the thread the pump delivers to.
    bool canGroup() const {
        return target_ && QThread::currentThread() == target_->thread() &&
               QThread::currentThread()->loopLevel() > 0;
    }
    // GUI thread: commits the mixer's held commands once the present event is handled.
    void commitAfterThisEvent(Mixer& mixer) {
        if (commitPosted_) return;
        commitPosted_ = true;
        QMetaObject::invokeMethod(
            target_,
            [this, &mixer] {
                commitPosted_ = false;
                mixer.commit();
            },
            Qt::QueuedConnection);
    }

    // GUI thread: the folders of the players' files are watched, so that a file replaced
    // behind the program's back is read again when it changes, not at the next Go.
    void watchFolderOf(const std::string& path, std::function<void(const std::string&)> changed) {
        if (!target_) return;
        const std::string folder = std::filesystem::path(path).parent_path().string();
        if (folder.empty() || !watchedFolders_.insert(folder).second) return;
        if (!watcher_) {
            watcher_ = new QFileSystemWatcher(target_);
            QObject::connect(watcher_, &QFileSystemWatcher::directoryChanged, target_,
                             [changed](const QString& dir) { changed(dir.toStdString()); });
        }
        watcher_->addPath(QString::fromStdString(folder));
    }

    // GUI thread only.
    std::unordered_map<uint32_t, AudioPlayer*> players;
    uint32_t nextVoiceId = 1;
    bool commitPosted_ = false;

private:
    PumpTarget* target_ = nullptr;
    QFileSystemWatcher* watcher_ = nullptr;
    std::set<std::string> watchedFolders_;
    std::mutex mutex_;
    std::vector<std::function<void()>> pending_;
};

void PumpTarget::drain() {
    pump_.drain();
}

namespace {
struct SharedOutputSetup {
    std::mutex mutex;
    OutputChoice choice;
    std::function<void(const OutputNotice&)> notices;
    bool created = false;
};
SharedOutputSetup& sharedSetup() {
    static SharedOutputSetup setup;
    return setup;
}
}  // namespace

AudioEngine& AudioEngine::shared() {
    static AudioEngine engine = [] {
        SharedOutputSetup& setup = sharedSetup();
        std::lock_guard lock(setup.mutex);
        setup.created = true;
        return AudioEngine(Mode::Device, kDefaultSampleRate, setup.choice, setup.notices);
    }();
    return engine;
}

void AudioEngine::configureShared(const OutputChoice& choice,
                                  std::function<void(const OutputNotice&)> notices) {
    SharedOutputSetup& setup = sharedSetup();
    {
        std::lock_guard lock(setup.mutex);
        setup.choice = choice;
        setup.notices = notices;
        if (!setup.created) return;
    }
    shared().setOutputNoticeHandler(std::move(notices));
    shared().setOutput(choice);
}

AudioEngine::AudioEngine(Mode mode, int sampleRate, const OutputChoice& output,
                         std::function<void(const OutputNotice&)> outputNotices)
    : mode_(mode),
      sampleRate_(sampleRate),
      mixer_(std::make_unique<Mixer>(sampleRate)),
      decoders_(std::make_unique<DecoderPool>(kDecoderThreads)),
      events_(std::make_unique<EventPump>()) {
    decoders_->setHousekeeping([this] {
        Voice* gone = nullptr;
        while (mixer_->retiredVoices().pop(gone)) decoders_->remove(gone);
    });
    // What the mixer did reaches the window from a thread of its own that touches no file, so
    // a decoder busy with a slow disk never holds up a cue's end or a chained start's display.
    sem_init(&eventSignal_, 0, 0);
    mixer_->setEventHook([this] { sem_post(&eventSignal_); });
    mixer_->setDecodeHook([this] { decoders_->nudge(); });
    eventThread_ = std::thread([this] {
        nameThisThread("cuevox-events");
        for (;;) {
            while (sem_wait(&eventSignal_) != 0) {
            }
            EngineEvent ev;
            while (mixer_->endEvents().pop(ev)) {
                events_->post([this, ev] {
                    auto it = events_->players.find(ev.voiceId);
                    if (it != events_->players.end()) it->second->deliverEvent(ev);
                });
            }
            if (stopEvents_.load()) return;
        }
    });
    decoders_->setFailureHandler([this](uint32_t, const std::string& why) {
        events_->post([this, why] {
            const std::string line = "Cannot read audio file " + why;
            std::cout << line << std::endl;
            if (problemHandler_) problemHandler_(line);
        });
    });
    startOutput(output, std::move(outputNotices));
}

AudioEngine::~AudioEngine() {
    // The output first: after it, nothing runs the mixer.
    mixer_->setSendHook({});
    output_.reset();
    {
        std::lock_guard lock(reloadersMutex_);
        for (std::thread& t : reloaders_) t.join();
    }
    stopEvents_.store(true);
    sem_post(&eventSignal_);
    eventThread_.join();
    sem_destroy(&eventSignal_);
    decoders_->shutdown();
    decoders_.reset();
    events_.reset();
    mixer_.reset();
}

void AudioEngine::startOutput(const OutputChoice& choice,
                              std::function<void(const OutputNotice&)> notices) {
    if (mode_ == Mode::Offline) return;
    output_ = mode_ == Mode::Device
                  ? OutputStream::device(*mixer_, sampleRate_, kBlockFrames, choice, notices)
                  : OutputStream::silentClock(*mixer_, sampleRate_, kBlockFrames);
    // An output that sleeps while nothing plays wakes for the first command.
    mixer_->setSendHook([output = output_.get()] { output->wake(); });
}

void AudioEngine::setOutput(const OutputChoice& choice) {
    if (output_) output_->choose(choice);
}

std::string AudioEngine::activeOutputDevice() const {
    return output_ ? output_->activeDevice() : std::string();
}

void AudioEngine::holdFollows(bool hold) {
    MixerCommand c{MixerCommand::Type::HoldFollows};
    c.value = hold ? 1.0f : 0.0f;
    send(c);
}

void AudioEngine::cancelFollows() {
    send(MixerCommand{MixerCommand::Type::CancelFollows});
}

void AudioEngine::setMasterGain(float gain) {
    MixerCommand c{MixerCommand::Type::SetMaster};
    c.value = gain;
    send(c);
}

std::vector<std::string> AudioEngine::outputChannelNames() const {
    return output_ ? output_->channelNames() : std::vector<std::string>{"left", "right"};
}

void AudioEngine::readMeters(std::vector<float>& peaks, std::vector<float>& rms) {
    peaks.resize(Mixer::kMaxChannels);
    rms.resize(Mixer::kMaxChannels);
    const int n = mixer_->readMeters(peaks.data(), rms.data(), Mixer::kMaxChannels);
    peaks.resize(size_t(n));
    rms.resize(size_t(n));
}

void AudioEngine::setOutputNoticeHandler(std::function<void(const OutputNotice&)> handler) {
    if (output_) output_->setNoticeHandler(std::move(handler));
}

void AudioEngine::renderOffline(float* out, int frames, bool waitForData, int channels) {
    if (mode_ != Mode::Offline) return;
    // Whoever renders offline is where the GUI's events end.
    mixer_->commit();
    mixer_->applyCommands();
    if (waitForData) waitForDecoders(frames);
    mixer_->process(out, frames, channels);
}

void AudioEngine::waitForDecoders(int frames) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::seconds(5);
    for (;;) {
        bool ready = true;
        for (Voice* v : mixer_->activeVoices()) {
            if (!v->rt.playing) continue;
            const int64_t first = v->rt.position / kChunkFrames;
            const int64_t end = (v->rt.position + frames) / kChunkFrames;
            const int64_t last = v->lastChunk.load();
            bool voiceReady = v->hasChunk(first) && v->hasChunk(end);
            if (last >= 0 && end >= last && v->rt.loopsLeft != 0)
                voiceReady = voiceReady && v->hasChunk(0) && v->hasChunk(1);
            if (!voiceReady) {
                v->dirty.store(true);
                ready = false;
            }
        }
        if (ready || clock::now() > deadline) break;
        decoders_->wake();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

std::shared_ptr<Voice> AudioEngine::openVoice(const std::string& path, uint32_t id,
                                              double* duration, std::string* error) {
    const FileStamp stamp = FileStamp::of(path);
    auto decoder = AudioDecoder::open(path, sampleRate_, error);
    if (!decoder) return nullptr;
    *duration = decoder->duration();
    auto voice = std::make_shared<Voice>(id, path, sampleRate_);
    voice->stamp = stamp;
    voice->decoder = std::move(decoder);
    // Decode the start now, on the caller's thread: it proves the file holds audio, and the
    // first play() then needs no worker.
    while (DecoderPool::service(*voice)) {
    }
    const int first = voice->findSlot(0);
    if (first < 0 || voice->cache[first].frames == 0) {
        if (error) *error = path + ": no audio data";
        return nullptr;
    }
    if (*duration <= 0.0) {
        // No length in the headers: count the frames once.
        auto counter = AudioDecoder::open(path, sampleRate_, nullptr);
        if (!counter) return nullptr;
        int64_t frames = 0;
        bool atEnd = false;
        while (!atEnd) frames += counter->read(nullptr, 1 << 16, &atEnd);
        *duration = double(frames) / sampleRate_;
    }
    voice->lengthFrames = std::llround(*duration * sampleRate_);
    voice->decoder.reset();
    return voice;
}

std::unique_ptr<AudioPlayer> AudioEngine::openPlayer(const std::string& path, std::string* error) {
    double duration = 0.0;
    auto voice = openVoice(path, events_->nextVoiceId, &duration, error);
    if (!voice) return nullptr;
    ++events_->nextVoiceId;
    return adoptVoice(std::move(voice), duration);
}

uint32_t AudioEngine::reserveVoiceId() {
    return events_->nextVoiceId++;
}

std::unique_ptr<AudioPlayer> AudioEngine::adoptVoice(std::shared_ptr<Voice> voice,
                                                     double duration) {
    mixer_->send({MixerCommand::Type::Add, voice.get()});
    decoders_->add(voice);
    std::unique_ptr<AudioPlayer> player(new AudioPlayer(*this, voice, voice->path, duration));
    events_->players[voice->id] = player.get();
    events_->watchFolderOf(voice->path,
                           [this](const std::string& folder) { folderChanged(folder); });
    return player;
}

uint64_t AudioEngine::replaceVoice(const std::shared_ptr<Voice>& to, Voice& from) {
    decoders_->add(to);
    MixerCommand c{MixerCommand::Type::Replace, to.get()};
    c.from = &from;
    return send(c);
}

int AudioEngine::fileReplaced(const std::string& path) {
    const auto wanted = std::filesystem::path(path).lexically_normal();
    std::vector<AudioPlayer*> affected;
    for (const auto& [id, player] : events_->players)
        if (std::filesystem::path(player->path()).lexically_normal() == wanted)
            affected.push_back(player);
    int done = 0;
    for (AudioPlayer* player : affected) done += player->reloadFile(nullptr) ? 1 : 0;
    return done;
}

void AudioEngine::folderChanged(const std::string& folder) {
    for (const auto& [id, player] : events_->players) {
        if (std::filesystem::path(player->path()).parent_path() != folder) continue;
        struct stat st {};
        // A pipe or a device in its place is no audio to read again (and could hang a reader).
        if (::stat(player->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const FileStamp now = FileStamp::of(player->path());
        if (!now.valid() || now == player->voice_->stamp || !reloading_.insert(id).second) continue;
        // Read again off the GUI thread: a slow disk must not hold up the window.
        std::lock_guard lock(reloadersMutex_);
        reloaders_.emplace_back([this, id = id, path = player->path()] {
            double duration = 0.0;
            std::shared_ptr<Voice> fresh = openVoice(path, id, &duration, nullptr);
            events_->post([this, id, fresh, duration] {
                reloading_.erase(id);
                const auto it = events_->players.find(id);
                // What each kept decoded would splice the old file's start onto the new one.
                if (fresh && it != events_->players.end())
                    it->second->takeReloaded(fresh, duration, false);
            });
        });
    }
}

void AudioEngine::setProblemHandler(std::function<void(const std::string&)> handler) {
    problemHandler_ = std::move(handler);
}

uint64_t AudioEngine::send(const MixerCommand& command) {
    if (!events_->canGroup()) return mixer_->send(command);
    const uint64_t sequence = mixer_->send(command, false);
    events_->commitAfterThisEvent(*mixer_);
    return sequence;
}

bool AudioEngine::outputDeviceActive() const {
    return output_ && output_->deviceActive();
}

uint64_t AudioEngine::outputUnderflows() const {
    return mixer_->outputUnderflows();
}

uint64_t AudioEngine::decoderUnderruns() const {
    return mixer_->decoderUnderruns();
}

void AudioEngine::forgetPlayer(uint32_t voiceId) {
    events_->players.erase(voiceId);
}

#include "AudioEngine.moc"
