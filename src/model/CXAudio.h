#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "audio/AudioPlayer.h"
#include "model/CXError.h"

class RowDisplay;

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
    // A fresh cue on the stored file `fileName`. Throws CXError::fileFailed.
    explicit CXAudio(const std::string& fileName);
    // A cue from one element of the list file; wrong or missing keys take their defaults.
    // Throws CXError::fileFailed.
    explicit CXAudio(const nlohmann::json& element);
    // A second cue on the source's stored file with all its options and a player of its own.
    // Throws CXError::fileFailed.
    explicit CXAudio(const CXAudio& source);
    CXAudio& operator=(const CXAudio&) = delete;

    static std::shared_ptr<CXAudio> fromFileName(const std::string& fileName);
    static std::shared_ptr<CXAudio> fromJSON(const nlohmann::json& element);
    static std::shared_ptr<CXAudio> copyOf(const CXAudio& source);

    // The cue's object in the list file: the sixteen stored fields, nothing run-time.
    nlohmann::json toJSON() const;
    // Takes back the stored fields of an earlier toJSON() (the file stays the same). The player
    // is kept and follows at once, so a cue that is playing goes on at the restored level.
    void restoreFields(const nlohmann::json& fields);

    // Playback. All on the GUI thread; the fade completions run there too, after their fade
    // length, and act on the row they were given whichever cue it shows by then.
    void playClick();
    void stopClick();
    void fadeInToggle(int row, RowDisplay* controller);
    void fadeOutToggle(int row, RowDisplay* controller);
    void fadeInCompletion(int row, RowDisplay* controller);
    void fadeOutCompletion(int row, RowDisplay* controller);

    // Silent at position 0, ready to start again at the cue's own volume, with no fade running.
    void resetPlayer();
    // The operator sets the cue's level. A fade in progress goes on: a fade-in heads for the
    // new level over what is left of it, and a fade-out still ends in silence; the new level
    // is the one the cue plays at from its next start.
    void changeVolume(float volume);

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
    bool fadingIn = false;
    bool fadingOut = false;

private:
    // When the fade-in under way reaches its level.
    std::chrono::steady_clock::time_point fadeInEnds_{};
    void openPlayer();
    void setUpPlayer();
    // A start makes the cue's earlier fades and pending stops history: their completions, which
    // hold the run they belong to, then leave the new run alone.
    void beginRun();

    uint64_t run_ = 0;
};
