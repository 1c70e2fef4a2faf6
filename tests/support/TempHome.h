#pragma once

#include <QDir>
#include <QTemporaryDir>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "audio/AudioEngine.h"
#include "storage/StoragePaths.h"
#include "support/TestFiles.h"

// Points the Documents folder into a fresh temporary home for one test, so tests never touch
// the real one. XDG_CONFIG_HOME moves too: a user-dirs.dirs there could send Documents elsewhere.
class TempHome {
public:
    TempHome() {
        oldHome_ = valueOf("HOME");
        oldConfig_ = valueOf("XDG_CONFIG_HOME");
        setenv("HOME", dir_.path().toUtf8().constData(), 1);
        setenv("XDG_CONFIG_HOME", (dir_.path() + "/.config").toUtf8().constData(), 1);
    }
    ~TempHome() {
        restore("HOME", oldHome_);
        restore("XDG_CONFIG_HOME", oldConfig_);
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    std::string path() const { return dir_.path().toStdString(); }
    std::string docs() const { return path() + "/Documents"; }
    bool isolated() const { return storage::documentsFolder() == docs(); }

    // A stereo tone of `seconds` stored in the audio folder under `name`; returns its path.
    std::string storeTone(const std::string& name, double seconds = 1.0) {
        QDir().mkpath(QString::fromStdString(storage::audioFolderPath()));
        const std::string file = storage::storedFilePath(name);
        testfiles::writeToneWav(file, 48000, seconds, 440.0, 0.25f);
        return file;
    }

private:
    static std::pair<bool, std::string> valueOf(const char* name) {
        const char* v = std::getenv(name);
        return {v != nullptr, v ? v : ""};
    }
    static void restore(const char* name, const std::pair<bool, std::string>& old) {
        if (old.first)
            setenv(name, old.second.c_str(), 1);
        else
            unsetenv(name);
    }

    QTemporaryDir dir_;
    std::pair<bool, std::string> oldHome_, oldConfig_;
};

// Collects what std::cout receives while it lives. The shared audio engine is started first:
// on a machine without sound it says so once, and that line belongs to no test.
class CaptureStdout {
public:
    CaptureStdout() : engine_(AudioEngine::shared()), old_(std::cout.rdbuf(text_.rdbuf())) {}
    ~CaptureStdout() { std::cout.rdbuf(old_); }
    std::string text() const { return text_.str(); }

private:
    AudioEngine& engine_;
    std::ostringstream text_;
    std::streambuf* old_;
};
