#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class AudioEngine;
struct Voice;

// One chosen file's way into the audio folder, run on the import's worker thread: the copy,
// its check as audio before it replaces anything, and the opening of the stored file for the
// new cue. The GUI thread fills in the first part, starts it, and takes the voice over after.
struct ImportJob {
    AudioEngine* engine = nullptr;
    std::string source;  // the chosen file, in the file system's encoding
    std::string folder;  // the audio folder
    QString stored;      // the name it is stored under
    bool copy = true;    // false when the chosen file is the stored file itself
    uint32_t voiceId = 0;

    std::shared_ptr<Voice> voice;
    double duration = 0.0;
    // A file of that name was there before and has been replaced.
    bool replaced = false;
    // What kept the file out, in plain words.
    QString why;

    std::string destination() const;
    // Worker thread. False with `why` when the file was not brought in; a copy that failed
    // leaves whatever was stored under its name before.
    bool run(std::atomic<int64_t>* copied);
};

// The decoder names the file it failed on; the message names it once already.
QString decoderReason(std::string reason, const std::string& path);
