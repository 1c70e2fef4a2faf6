#include "model/CXAudio.h"

#include <QObject>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <iostream>
#include <limits>

#include "model/RowDisplay.h"
#include "platform/MainQueue.h"
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

}  // namespace

CXAudio::CXAudio() : player(std::make_unique<AudioPlayer>()) {}

CXAudio::CXAudio(const std::string& name) : fileName(name) {
    openPlayer();
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
}

CXAudio::CXAudio(const nlohmann::json& element) {
    fileName = readString(element, "fileName", "error");
    openPlayer();
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
    fadingIn = false;
    fadingOut = false;
    setUpPlayer();
    // Last, because its default is the length the prepared player reports.
    endTime = readNumber(element, "endTime", player->duration());
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
    // A copy of a fading cue does not fade.
    fadingIn = false;
    fadingOut = false;
    setUpPlayer();
}

std::shared_ptr<CXAudio> CXAudio::fromFileName(const std::string& name) {
    return std::make_shared<CXAudio>(name);
}

std::shared_ptr<CXAudio> CXAudio::fromJSON(const nlohmann::json& element) {
    return std::make_shared<CXAudio>(element);
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
    return object;
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
    ++run_;
    fadingIn = false;
    fadingOut = false;
}

void CXAudio::changeVolume(float volume) {
    volumeLevel = volume;
    if (!player || fadingOut) return;
    if (fadingIn) {
        const std::chrono::duration<double> left = fadeInEnds_ - std::chrono::steady_clock::now();
        if (left.count() > 0.0) {
            player->setVolume(volume, left.count());
            return;
        }
    }
    player->setVolume(volume);
}

void CXAudio::playClick() {
    const bool wasPlaying = player->isPlaying();
    beginRun();
    if (fadeIn) {
        // An untracked ramp: nothing waits for it to end.
        player->setVolume(kSilence);
        player->play();
        player->setVolume(volumeLevel, fadeInLength);
    } else {
        // Started again while an earlier stop is still fading it out: that stop no longer comes,
        // so neither may its silence.
        if (wasPlaying) player->setVolume(volumeLevel, kQuickRamp);
        player->play();
    }
    if (startTime > 0) player->setCurrentTime(startTime);
}

void CXAudio::stopClick() {
    if (!fadeOut) {
        resetPlayer();
        return;
    }
    player->setVolume(kSilence, fadeOutLength);
    // Resets whatever happened meanwhile in this run: a stop asked for is a stop delivered.
    auto self = shared_from_this();
    MainQueue::runAfter(fadeOutLength, nullptr, [self, run = run_] {
        if (self->run_ == run) self->resetPlayer();
    });
}

namespace {
QObject* contextOf(RowDisplay* controller) {
    return controller ? controller->rowDisplayContext() : nullptr;
}
void showTitle(RowDisplay* controller, int row, const char* title) {
    if (controller) controller->setPlayButtonTitle(row, QString::fromLatin1(title));
}
}  // namespace

void CXAudio::fadeInToggle(int row, RowDisplay* controller) {
    if (!fadeIn) return;
    if (startTime > 0) player->setCurrentTime(startTime);
    if (fadingIn) {
        player->setVolume(volumeLevel, kQuickRamp);
        showTitle(controller, row, "Stop");
        fadingIn = false;
        return;
    }
    beginRun();
    fadingIn = true;
    player->setVolume(kSilence);
    player->play();
    player->setVolume(volumeLevel, fadeInLength);
    // Held to a year: a silly stored length must not overflow the clock.
    const double length = std::isfinite(fadeInLength) ? std::clamp(fadeInLength, 0.0, 3.2e7) : 0.0;
    fadeInEnds_ = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(length));
    auto self = shared_from_this();
    MainQueue::runAfter(fadeInLength, contextOf(controller), [self, row, controller, run = run_] {
        if (self->run_ == run) self->fadeInCompletion(row, controller);
    });
}

void CXAudio::fadeInCompletion(int row, RowDisplay* controller) {
    if (!fadingIn) return;
    showTitle(controller, row, "Stop");
    fadingIn = false;
}

void CXAudio::fadeOutToggle(int row, RowDisplay* controller) {
    if (!fadeOut) return;
    if (fadingOut) {
        resetPlayer();
        if (controller) controller->resetRowDisplay(row);
        fadingOut = false;
        return;
    }
    // The fade-out takes over from a fade-in still running: a click now must stop the cue, not
    // bring it back to full level, and the fade-in's completion must not show "Stop".
    fadingIn = false;
    fadingOut = true;
    player->setVolume(kSilence, fadeOutLength);
    auto self = shared_from_this();
    MainQueue::runAfter(fadeOutLength, contextOf(controller), [self, row, controller, run = run_] {
        if (self->run_ == run) self->fadeOutCompletion(row, controller);
    });
}

void CXAudio::fadeOutCompletion(int row, RowDisplay* controller) {
    if (!fadingOut) return;
    resetPlayer();
    if (controller) controller->resetRowDisplay(row);
    fadingOut = false;
}
