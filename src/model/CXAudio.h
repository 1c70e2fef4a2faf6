#pragma once

#include <QPointer>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "audio/AudioPlayer.h"
#include "model/CXError.h"
#include "model/CueRoute.h"

class RowDisplay;
struct EngineEvent;

// One cue: a stored audio file with the options that say how the show plays it. The list, the
// editor and pending fade completions all share the same cue, so it lives in a shared_ptr; the
// completions keep it alive through shared_from_this().
class CXAudio : public std::enable_shared_from_this<CXAudio> {
public:
    // The ramp that brings a cut-short fade-in to full volume without a click.
    static constexpr double kQuickRamp = 0.01;
    static constexpr float kSilence = 0.0f;

    // A placeholder: an empty player, empty names, every number 0, every flag off.
    CXAudio();
    // A fresh cue on the stored file `fileName`. Throws CXError::fileFailed. `opened`, when
    // given, is the file's player, opened already (off the GUI thread).
    explicit CXAudio(const std::string& fileName, std::unique_ptr<AudioPlayer> opened = nullptr);
    // A cue from one element of the list file; wrong or missing keys take their defaults.
    // Throws CXError::fileFailed.
    explicit CXAudio(const nlohmann::json& element, std::unique_ptr<AudioPlayer> opened = nullptr);
    // A second cue on the source's stored file with all its options and a player of its own.
    // Throws CXError::fileFailed.
    explicit CXAudio(const CXAudio& source);
    CXAudio& operator=(const CXAudio&) = delete;

    static std::shared_ptr<CXAudio> fromFileName(const std::string& fileName);
    static std::shared_ptr<CXAudio> fromJSON(const nlohmann::json& element);
    static std::shared_ptr<CXAudio> copyOf(const CXAudio& source);
    // As the constructors, on a player opened already; they throw nothing.
    static std::shared_ptr<CXAudio> withPlayer(const std::string& fileName,
                                               std::unique_ptr<AudioPlayer> opened);
    static std::shared_ptr<CXAudio> withPlayer(const nlohmann::json& element,
                                               std::unique_ptr<AudioPlayer> opened);
    // A cue whose stored file is missing: its fields as the list gives them and a player that
    // holds no file. It stays in the list, plays nothing, and saves as it was read (what the
    // operator changes on it aside) until its file is found again.
    static std::shared_ptr<CXAudio> missingFrom(const nlohmann::json& element);
    bool missing() const { return missingSource_.has_value(); }
    // The length the list gives a missing cue's file (its end time), to tell the file from
    // another of the same name; none when the list gives none.
    std::optional<double> storedLength() const;
    // The missing file is stored again: the cue plays it from now on.
    void relink(std::unique_ptr<AudioPlayer> opened);

    // The cue's object in the list file: the sixteen stored fields and its number, and its
    // route, notes and colour when they are not the default; nothing run-time.
    nlohmann::json toJSON() const;
    // Takes back the stored fields of an earlier toJSON() (the file stays the same). The player
    // is kept and follows at once, so a cue that is playing goes on at the restored level.
    void restoreFields(const nlohmann::json& fields);

    // Playback. All on the GUI thread. The engine times every fade, cut end and chained start
    // by itself; a fade's completion runs when the window hears of it, on the row the fade
    // was given (whichever cue it shows by then).
    void playClick();
    void stopClick();
    void fadeInToggle(int row, RowDisplay* controller);
    void fadeOutToggle(int row, RowDisplay* controller);
    // Fades to silence from the level it has now and stops there, over `seconds` whatever its
    // own fade-out says (Fade All, a fade called for by hand); the row shows the fade's end.
    void fadeOutOver(double seconds, int row, RowDisplay* controller);
    void fadeInCompletion(int row, RowDisplay* controller);
    void fadeOutCompletion(int row, RowDisplay* controller);
    // The engine started the cue by itself (a chain), or began its automatic fade-out; the
    // fade's end is then shown on `row`. The window's start display does the rest.
    void startedByEngine(bool fadingInNow, int row, RowDisplay* controller);
    void autoFadeStarted(int row, RowDisplay* controller);
    // The engine reports a fade of this cue's present run ended (FadeInDone, FadeOutDone).
    void fadeEnded(const EngineEvent& event);
    // Tells the engine how the cue plays by itself: its cut end, fades, and its chains to
    // `next`, the cue after it in the list (none for the last).
    void sendPlan(const CXAudio* next);
    // The same, with the cue after it it was last given.
    void refreshPlan();

    // Silent at position 0, ready to start again at the cue's own volume, with no fade running.
    void resetPlayer();
    // The operator sets the cue's level. A fade in progress goes on: a fade-in heads for the
    // new level over what is left of it, and a fade-out still ends in silence; the new level
    // is the one the cue plays at from its next start.
    void changeVolume(float volume);
    // Sends the cue's route to its player: `leftChannel` and `rightChannel` are the device
    // channels its two outputs are patched to on this machine. Only a change is sent.
    void routeTo(int leftChannel, int rightChannel);

    std::unique_ptr<AudioPlayer> player;
    std::string fileName;
    std::string audioTitle;
    float volumeLevel = 0.0f;
    int64_t repeatCount = 0;
    bool fadeIn = false;
    bool fadeOut = false;
    double fadeInLength = 0.0;
    double fadeOutLength = 0.0;
    bool persistThrough = false;
    double persistDelay = 0.0;
    bool extendPlay = false;
    double extendDelay = 0.0;
    float panAudio = 0.0f;
    double startTime = 0.0;
    double endTime = 0.0;
    bool moveSelection = false;
    // The operator's number for the cue, unique in the list (see CueNumbers); its notes (any
    // text, several lines); its colour as "#rrggbb", empty for none.
    std::string cueNumber;
    std::string notes;
    std::string color;
    // The show's outputs (from 1) the left and right go to, and their levels in dB.
    cueroute::Outputs outputs = cueroute::kDefaultOutputs;
    cueroute::Levels outputLevels = cueroute::kDefaultLevels;
    bool fadingIn = false;
    bool fadingOut = false;

private:
    void openPlayer();
    // The number, notes and colour of a list-file object; absent or unfit ones read empty.
    void readIdentity(const nlohmann::json& element);
    void showFadeOn(int row, RowDisplay* controller);
    double startPoint() const;
    void setUpPlayer();
    // A start makes the cue's earlier fades history.
    void beginRun();

    // Where the fade under way shows its end.
    int fadeRow_ = 0;
    RowDisplay* fadeDisplay_ = nullptr;
    QPointer<QObject> fadeDisplayAlive_;
    std::weak_ptr<const CXAudio> planNext_;
    struct SentRoute {
        int left, right;
        float leftLevel, rightLevel;
        bool operator==(const SentRoute&) const = default;
    };
    // What the player was last told; none yet for a fresh player, which plays on 1-2.
    std::optional<SentRoute> routeSent_;
    // A missing cue's list element as read, and its fields as they read then: a save gives the
    // element back with only the fields changed since.
    std::optional<nlohmann::json> missingSource_;
    nlohmann::json missingRead_;
};
