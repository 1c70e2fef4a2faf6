#pragma once

#include <QDir>
#include <QTemporaryDir>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "audio/AudioEngine.h"
#include "platform/StdoutLines.h"
#include "storage/StoragePaths.h"
#include "support/TestFiles.h"

// Points the Documents folder into a fresh temporary home for one test, so tests never touch
// the real one. The XDG folders move too: a user-dirs.dirs under XDG_CONFIG_HOME decides where
// Documents is, and the others would let a test write into the desktop's own data.
class TempHome {
public:
    TempHome() {
        const std::string home = dir_.path().toStdString();
        for (const auto& [name, under] : kMoved) {
            const char* v = std::getenv(name);
            saved_.push_back({name, v != nullptr, v ? v : ""});
            setenv(name, (home + under).c_str(), 1);
        }
        // Each test starts on the default show, whatever one before it opened.
        storage::setShowFolder({});
    }
    ~TempHome() {
        storage::setShowFolder({});
        for (const Saved& s : saved_) {
            if (s.wasSet)
                setenv(s.name, s.value.c_str(), 1);
            else
                unsetenv(s.name);
        }
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    bool isValid() const { return dir_.isValid(); }
    std::string path() const { return dir_.path().toStdString(); }
    std::string docs() const { return path() + "/Documents"; }
    // Whether the program would use this home's Documents folder; a fixture checks it before
    // anything deletes or rewrites a list.
    bool isolated() const { return dir_.isValid() && storage::documentsFolder() == docs(); }
    // Why not, for the failure message.
    std::string isolationProblem() const {
        return "the Documents folder in use is " + storage::documentsFolder() + ", not " + docs();
    }

    // A stereo tone of `seconds` stored in the audio folder under `name`; returns its path.
    std::string storeTone(const std::string& name, double seconds = 1.0) {
        QDir().mkpath(QString::fromStdString(storage::audioFolderPath()));
        const std::string file = storage::storedFilePath(name);
        testfiles::writeToneWav(file, 48000, seconds, 440.0, 0.25f);
        return file;
    }

private:
    static constexpr std::pair<const char*, const char*> kMoved[] = {
        {"HOME", ""},
        {"XDG_CONFIG_HOME", "/.config"},
        {"XDG_DATA_HOME", "/.local/share"},
        {"XDG_CACHE_HOME", "/.cache"},
        {"XDG_STATE_HOME", "/.local/state"},
    };
    struct Saved {
        const char* name;
        bool wasSet;
        std::string value;
    };

    QTemporaryDir dir_;
    std::vector<Saved> saved_;
};

// Collects what std::cout receives while it lives. The shared audio engine is started first:
// on a machine without sound it says so once, and that line belongs to no test.
class CaptureStdout {
public:
    // Lines written off the calling thread are out before the capture begins, and counted in
    // what it holds.
    CaptureStdout()
        : engine_(AudioEngine::shared()),
          old_((stdoutlines::drain(), std::cout.rdbuf(text_.rdbuf()))) {}
    ~CaptureStdout() {
        stdoutlines::drain();
        std::cout.rdbuf(old_);
    }
    std::string text() const {
        stdoutlines::drain();
        return text_.str();
    }

private:
    AudioEngine& engine_;
    std::ostringstream text_;
    std::streambuf* old_;
};
