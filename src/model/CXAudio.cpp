#include "model/CXAudio.h"

#include <QObject>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <iostream>
#include <limits>

#include "audio/AudioEngine.h"
#include "audio/Mixer.h"
#include "model/CueNumbers.h"
#include "model/RowDisplay.h"
#include "storage/StoragePaths.h"

namespace {

using json = nlohmann::json;

// A key of an element, or nothing when the element is not an object or lacks the key: a
// non-object element reads as an object without keys.
const json* member(const json& element, const char* key) {
    if (!element.is_object()) return nullptr;
    const auto it = element.find(key);
    return it == element.end() ? nullptr : &*it;
}

std::string readString(const json& element, const char* key, const std::string& fallback) {
    const json* v = member(element, key);
    return v && v->is_string() ? v->get<std::string>() : fallback;
}

// A number field also takes true and false as 1 and 0.
double readNumber(const json& element, const char* key, double fallback) {
    const json* v = member(element, key);
    if (!v) return fallback;
    if (v->is_boolean()) return v->get<bool>() ? 1.0 : 0.0;
    if (v->is_number()) return v->get<double>();
    return fallback;
}

// A number in a flag's place does not count: only true and false are flags.
bool readFlag(const json& element, const char* key, bool fallback) {
    const json* v = member(element, key);
    return v && v->is_boolean() ? v->get<bool>() : fallback;
}

int64_t readInteger(const json& element, const char* key, int64_t fallback) {
    const json* v = member(element, key);
    if (!v) return fallback;
    if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
    if (v->is_number_integer() && !v->is_number_unsigned()) return v->get<int64_t>();
    if (v->is_number_unsigned()) {
        const uint64_t u = v->get<uint64_t>();
        return u > uint64_t(std::numeric_limits<int64_t>::max())
                   ? std::numeric_limits<int64_t>::max()
                   : int64_t(u);
    }
    if (v->is_number_float()) {
        // Toward zero, and kept inside the range so that a silly value cannot be undefined.
        const double d = std::trunc(v->get<double>());
        if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
        if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
        return int64_t(d);
    }
    return fallback;
}

// A hand-edited number beyond a float's range reads as infinity: a plain
// conversion of it is undefined. The player keeps such a gain out of the mix.
float readFloat(const json& element, const char* key, double fallback) {
    const double d = readNumber(element, key, fallback);
    if (d > double(std::numeric_limits<float>::max()))
        return std::numeric_limits<float>::infinity();
    if (d < -double(std::numeric_limits<float>::max()))
        return -std::numeric_limits<float>::infinity();
    return float(d);
}

// The double whose shortest text is the float's shortest text, so the file says 0.8 where the
// float is 0.8f, and reading it back and narrowing gives the very same float.
json shortestNumber(float value) {
    if (!std::isfinite(value)) return json(double(value));
    char text[64];
    const auto written = std::to_chars(text, text + sizeof text, value);
    double wide = double(value);
    std::from_chars(text, written.ptr, wide);
    return json(wide);
}

std::string titleOf(const std::string& path) {
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    const auto slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    const auto dot = name.rfind('.');
    // A leading dot names a hidden file, not an extension.
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}

bool isColor(const std::string& text) {
    return text.size() == 7 && text[0] == '#' &&
           std::all_of(text.begin() + 1, text.end(),
                       [](unsigned char c) { return std::isxdigit(c); });
}

}  // namespace

CXAudio::CXAudio() : player(std::make_unique<AudioPlayer>()) {}

CXAudio::CXAudio(const std::string& name, std::unique_ptr<AudioPlayer> opened)
    : player(std::move(opened)), fileName(name) {
    if (!player) openPlayer();
    audioTitle = titleOf(storage::storedFilePath(fileName));
    volumeLevel = 1.0f;
    repeatCount = 0;
    panAudio = 0.0f;
    fadeIn = false;
    fadeOut = false;
    fadeInLength = 3.0;
    fadeOutLength = 3.0;
    persistThrough = false;
    persistDelay = 0.0;
    extendPlay = false;
    extendDelay = 0.0;
    startTime = 0.0;
    moveSelection = false;
    fadingIn = false;
    fadingOut = false;
    setUpPlayer();
    endTime = player->duration();
    refreshPlan();
}

CXAudio::CXAudio(const nlohmann::json& element, std::unique_ptr<AudioPlayer> opened)
    : player(std::move(opened)) {
    fileName = readString(element, "fileName", "error");
    if (!player) openPlayer();
    audioTitle = readString(element, "audioTitle", "error");
    volumeLevel = readFloat(element, "volumeLevel", 1.0);
    repeatCount = readInteger(element, "repeatCount", 0);
    panAudio = readFloat(element, "panAudio", 0.0);
    fadeIn = readFlag(element, "fadeIn", false);
    fadeOut = readFlag(element, "fadeOut", false);
    fadeInLength = readNumber(element, "fadeInLength", 3.0);
    fadeOutLength = readNumber(element, "fadeOutLength", 3.0);
    persistThrough = readFlag(element, "persistThrough", false);
    persistDelay = readNumber(element, "persistDelay", 0.0);
    extendPlay = readFlag(element, "extendPlay", false);
    extendDelay = readNumber(element, "extendDelay", 0.0);
    startTime = readNumber(element, "startTime", 0.0);
    moveSelection = readFlag(element, "moveSelection", false);
    outputs = cueroute::readOutputs(element);
    outputLevels = cueroute::readLevels(element);
    readIdentity(element);
    fadingIn = false;
    fadingOut = false;
    setUpPlayer();
    // Last, because its default is the length the prepared player reports.
    endTime = readNumber(element, "endTime", player->duration());
    refreshPlan();
}

CXAudio::CXAudio(const CXAudio& source)
    : std::enable_shared_from_this<CXAudio>(), fileName(source.fileName) {
    openPlayer();
    audioTitle = source.audioTitle;
    volumeLevel = source.volumeLevel;
    repeatCount = source.repeatCount;
    panAudio = source.panAudio;
    fadeIn = source.fadeIn;
    fadeOut = source.fadeOut;
    fadeInLength = source.fadeInLength;
    fadeOutLength = source.fadeOutLength;
    persistThrough = source.persistThrough;
    persistDelay = source.persistDelay;
    extendPlay = source.extendPlay;
    extendDelay = source.extendDelay;
    startTime = source.startTime;
    endTime = source.endTime;
    moveSelection = source.moveSelection;
    outputs = source.outputs;
    outputLevels = source.outputLevels;
    // A copy is another cue: the list gives it a number of its own.
    notes = source.notes;
    color = source.color;
    // A copy of a fading cue does not fade.
    fadingIn = false;
    fadingOut = false;
    setUpPlayer();
    refreshPlan();
}

std::shared_ptr<CXAudio> CXAudio::fromFileName(const std::string& name) {
    return std::make_shared<CXAudio>(name);
}

std::shared_ptr<CXAudio> CXAudio::fromJSON(const nlohmann::json& element) {
    return std::make_shared<CXAudio>(element);
}

std::shared_ptr<CXAudio> CXAudio::withPlayer(const std::string& fileName,
                                             std::unique_ptr<AudioPlayer> opened) {
    return std::make_shared<CXAudio>(fileName, std::move(opened));
}

std::shared_ptr<CXAudio> CXAudio::withPlayer(const nlohmann::json& element,
                                             std::unique_ptr<AudioPlayer> opened) {
    return std::make_shared<CXAudio>(element, std::move(opened));
}

std::shared_ptr<CXAudio> CXAudio::missingFrom(const nlohmann::json& element) {
    auto cue = withPlayer(element, std::make_unique<AudioPlayer>());
    cue->missingRead_ = cue->toJSON();
    cue->missingSource_ = element;
    return cue;
}

std::optional<double> CXAudio::storedLength() const {
    const json* end = missingSource_ ? member(*missingSource_, "endTime") : nullptr;
    if (!end || !end->is_number()) return std::nullopt;
    return end->get<double>();
}

void CXAudio::relink(std::unique_ptr<AudioPlayer> opened) {
    if (!missingSource_ || !opened) return;
    // An end the list never gave is the file's own, as for any cue read from the list.
    const bool endGiven = member(*missingSource_, "endTime") != nullptr;
    missingSource_.reset();
    missingRead_ = json();
    player = std::move(opened);
    routeSent_.reset();
    fadingIn = fadingOut = false;
    setUpPlayer();
    if (!endGiven) endTime = player->duration();
    refreshPlan();
}

std::shared_ptr<CXAudio> CXAudio::copyOf(const CXAudio& source) {
    return std::make_shared<CXAudio>(source);
}

void CXAudio::openPlayer() {
    std::string why;
    player = AudioPlayer::initWithContentsOfURL(storage::storedFilePath(fileName), &why);
    if (!player) {
        std::cout << "Failed to create audio player" << std::endl;
        throw CXError(CXError::fileFailed, why);
    }
}

void CXAudio::readIdentity(const json& element) {
    // A number typed by hand without quotes reads as its text.
    const json* number = member(element, "cueNumber");
    cueNumber.clear();
    if (number && number->is_string())
        cueNumber = cuenumbers::trimmed(number->get<std::string>());
    else if (number && number->is_number_integer())
        cueNumber = number->dump();
    else if (number && number->is_number())
        cueNumber = shortestNumber(number->get<double>()).dump();
    if (!cuenumbers::isValid(cueNumber)) cueNumber.clear();
    notes = readString(element, "notes", "");
    color = readString(element, "color", "");
    if (!isColor(color)) color.clear();
}

void CXAudio::setUpPlayer() {
    player->setNumberOfLoops(repeatCount);
    player->setVolume(volumeLevel);
    player->setPan(panAudio);
    player->prepareToPlay();
}

nlohmann::json CXAudio::toJSON() const {
    json object = json::object();
    object["fileName"] = fileName;
    object["audioTitle"] = audioTitle;
    object["volumeLevel"] = shortestNumber(volumeLevel);
    object["repeatCount"] = repeatCount;
    object["fadeIn"] = fadeIn;
    object["fadeOut"] = fadeOut;
    object["fadeInLength"] = fadeInLength;
    object["fadeOutLength"] = fadeOutLength;
    object["persistThrough"] = persistThrough;
    object["persistDelay"] = persistDelay;
    object["extendPlay"] = extendPlay;
    object["extendDelay"] = extendDelay;
    object["panAudio"] = shortestNumber(panAudio);
    object["startTime"] = startTime;
    object["endTime"] = endTime;
    object["moveSelection"] = moveSelection;
    cueroute::write(object, outputs, outputLevels);
    object["cueNumber"] = cueNumber;
    if (!notes.empty()) object["notes"] = notes;
    if (!color.empty()) object["color"] = color;
    if (!missingSource_) return object;
    // Fields the player would have given (the end) or keys this version does not know stay as
    // the list had them; only what was changed since the load is written over them.
    json kept = *missingSource_;
    for (const auto& [key, value] : object.items())
        if (!missingRead_.contains(key) || missingRead_[key] != value) kept[key] = value;
    for (const auto& [key, value] : missingRead_.items())
        if (!object.contains(key)) kept.erase(key);
    return kept;
}

void CXAudio::restoreFields(const nlohmann::json& fields) {
    audioTitle = readString(fields, "audioTitle", audioTitle);
    repeatCount = readInteger(fields, "repeatCount", repeatCount);
    panAudio = readFloat(fields, "panAudio", panAudio);
    fadeIn = readFlag(fields, "fadeIn", fadeIn);
    fadeOut = readFlag(fields, "fadeOut", fadeOut);
    fadeInLength = readNumber(fields, "fadeInLength", fadeInLength);
    fadeOutLength = readNumber(fields, "fadeOutLength", fadeOutLength);
    persistThrough = readFlag(fields, "persistThrough", persistThrough);
    persistDelay = readNumber(fields, "persistDelay", persistDelay);
    extendPlay = readFlag(fields, "extendPlay", extendPlay);
    extendDelay = readNumber(fields, "extendDelay", extendDelay);
    startTime = readNumber(fields, "startTime", startTime);
    endTime = readNumber(fields, "endTime", endTime);
    moveSelection = readFlag(fields, "moveSelection", moveSelection);
    // Absent is the default here too: the fields of a cue on outputs 1-2 do not name them.
    outputs = cueroute::readOutputs(fields);
    outputLevels = cueroute::readLevels(fields);
    const std::string number = cueNumber;
    readIdentity(fields);
    if (cueNumber.empty()) cueNumber = number;
    changeVolume(readFloat(fields, "volumeLevel", volumeLevel));
    if (!player) return;
    player->setNumberOfLoops(repeatCount);
    player->setPan(panAudio);
}

void CXAudio::resetPlayer() {
    player->stop();
    player->setVolume(volumeLevel);
    player->setCurrentTime(0.0);
    player->prepareToPlay();
    // A fade that the reset ended is over: a flag left set would send the next click to the
    // wrong branch of the transport.
    fadingIn = false;
    fadingOut = false;
}

void CXAudio::beginRun() {
    fadingIn = false;
    fadingOut = false;
}

void CXAudio::changeVolume(float volume) {
    volumeLevel = volume;
    // The engine resets a run that stops by itself to the plan's level.
    refreshPlan();
    // A fade-out still ends in silence; a fade-in under way heads for the new level over what
    // is left of it (the engine knows how much that is).
    if (!player || fadingOut) return;
    player->setVolume(volume);
}

void CXAudio::routeTo(int leftChannel, int rightChannel) {
    if (!player) return;
    const SentRoute route{leftChannel, rightChannel, cueroute::linear(outputLevels[0]),
                          cueroute::linear(outputLevels[1])};
    if (routeSent_ == route) return;
    routeSent_ = route;
    player->setRoute(route.left, route.right, route.leftLevel, route.rightLevel);
}

namespace {
int64_t framesOf(double seconds, int rate) {
    if (!std::isfinite(seconds) || seconds <= 0.0) return 0;
    // Held to a year: a silly stored length must not overflow.
    return std::llround(std::min(seconds, 3.2e7) * rate);
}
}  // namespace

void CXAudio::sendPlan(const CXAudio* next) {
    if (!player || !player->engine()) return;
    const int rate = player->engine()->sampleRate();
    CuePlan plan;
    plan.startFrame = startTime > 0 ? framesOf(startTime, rate) : 0;
    plan.volume = volumeLevel;
    plan.loops = repeatCount;
    plan.fadeInFrames = fadeIn ? framesOf(fadeInLength, rate) : -1;
    plan.fadeOutFrames = fadeOut ? framesOf(fadeOutLength, rate) : -1;
    // The automatic fade-out ends at the end time, cut or not; only a cut end stops the cue
    // before its file does (the comparison is exact, as the stored end is).
    plan.fadeOutEnd = fadeOut ? framesOf(endTime, rate) : -1;
    plan.cutEnd = endTime != player->duration() ? framesOf(endTime, rate) : -1;
    planNext_ = next ? next->weak_from_this() : std::weak_ptr<const CXAudio>();
    const AudioPlayer* nextPlayer = next ? next->player.get() : nullptr;
    plan.extendDelay = extendPlay && nextPlayer ? framesOf(extendDelay, rate) : -1;
    plan.persistDelay = persistThrough && nextPlayer ? framesOf(persistDelay, rate) : -1;
    player->setPlan(plan, nextPlayer);
}

double CXAudio::startPoint() const {
    // Without a start cut a stopped cue goes on from where it was left (or scrubbed to).
    return startTime > 0 ? startTime : player->currentTime();
}

void CXAudio::refreshPlan() {
    // The fields may have changed since the window last sent them (or no window holds the
    // cue): what the engine times from here must be what the cue says now.
    const auto next = planNext_.lock();
    sendPlan(next.get());
}

void CXAudio::playClick() {
    refreshPlan();
    const bool wasPlaying = player->isPlaying();
    beginRun();
    if (!wasPlaying) {
        // Start point, level and fade-in in one command: no block plays part of the start.
        if (fadeIn)
            player->start(startPoint(), kSilence, volumeLevel, fadeInLength, false);
        else
            player->start(startPoint(), volumeLevel, volumeLevel, 0.0, false);
        return;
    }
    // Started again while it plays: a stop still fading it out no longer comes, nor does its
    // silence. A fade-in is an untracked ramp: nothing waits for it to end.
    if (fadeIn)
        player->restartRamp(kSilence, volumeLevel, fadeInLength, false);
    else
        player->restartRamp(std::nanf(""), volumeLevel, kQuickRamp, false);
    if (startTime > 0) player->setCurrentTime(startTime);
}

void CXAudio::stopClick() {
    refreshPlan();
    if (!fadeOut) {
        resetPlayer();
        return;
    }
    // The engine stops it at the fade's last frame, whatever the window is doing then.
    player->fadeOutAndStop(fadeOutLength, false);
}

namespace {
void showTitle(RowDisplay* controller, int row, const char* title) {
    if (controller) controller->setPlayButtonTitle(row, QString::fromLatin1(title));
}
}  // namespace

void CXAudio::fadeInToggle(int row, RowDisplay* controller) {
    if (!fadeIn) return;
    refreshPlan();
    if (fadingIn) {
        if (startTime > 0) player->setCurrentTime(startTime);
        player->setVolume(volumeLevel, kQuickRamp);
        showTitle(controller, row, "Stop");
        fadingIn = false;
        return;
    }
    const bool wasPlaying = player->isPlaying();
    beginRun();
    fadingIn = true;
    showFadeOn(row, controller);
    // The engine reports the fade's end; the row shows "Stop" then.
    if (!wasPlaying) {
        player->start(startPoint(), kSilence, volumeLevel, fadeInLength, true);
        return;
    }
    if (startTime > 0) player->setCurrentTime(startTime);
    player->restartRamp(kSilence, volumeLevel, fadeInLength, true);
}

void CXAudio::fadeInCompletion(int row, RowDisplay* controller) {
    if (!fadingIn) return;
    showTitle(controller, row, "Stop");
    fadingIn = false;
}

void CXAudio::fadeOutToggle(int row, RowDisplay* controller) {
    if (!fadeOut) return;
    refreshPlan();
    if (fadingOut) {
        resetPlayer();
        if (controller) controller->resetRowDisplay(row);
        fadingOut = false;
        return;
    }
    // The fade-out takes over from a fade-in still running: a click now must stop the cue, not
    // bring it back to full level, and the fade-in's completion must not show "Stop".
    fadeOutOver(fadeOutLength, row, controller);
}

void CXAudio::fadeOutOver(double seconds, int row, RowDisplay* controller) {
    refreshPlan();
    fadingIn = false;
    fadingOut = true;
    showFadeOn(row, controller);
    player->fadeOutAndStop(seconds, true);
}

void CXAudio::startedByEngine(bool fadingInNow, int row, RowDisplay* controller) {
    beginRun();
    fadingIn = fadingInNow;
    if (fadingIn) showFadeOn(row, controller);
}

void CXAudio::autoFadeStarted(int row, RowDisplay* controller) {
    fadingIn = false;
    fadingOut = true;
    showFadeOn(row, controller);
}

void CXAudio::showFadeOn(int row, RowDisplay* controller) {
    fadeRow_ = row;
    fadeDisplay_ = controller;
    fadeDisplayAlive_ = controller ? controller->rowDisplayContext() : nullptr;
}

void CXAudio::fadeEnded(const EngineEvent& event) {
    // The row given when the fade started, whichever cue it shows by now; none once that
    // window is gone.
    RowDisplay* controller = fadeDisplayAlive_ ? fadeDisplay_ : nullptr;
    if (event.type == EngineEvent::Type::FadeInDone) {
        fadeInCompletion(fadeRow_, controller);
    } else if (event.type == EngineEvent::Type::FadeOutDone) {
        if (event.tracked)
            fadeOutCompletion(fadeRow_, controller);
        else
            resetPlayer();  // a plain stop's fade: a stop asked for is a stop delivered
    }
}

void CXAudio::fadeOutCompletion(int row, RowDisplay* controller) {
    if (!fadingOut) return;
    resetPlayer();
    if (controller) controller->resetRowDisplay(row);
    fadingOut = false;
}
