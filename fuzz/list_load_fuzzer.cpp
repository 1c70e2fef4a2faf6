// Feeds arbitrary bytes to the program as its list file, in a Documents folder that holds a few
// good stored audio files, then loads and saves as a start-up followed by a first change would.
// Besides crashes, it checks the promise that makes a bad list file harmless: whatever the load
// could not read is still on disk after the save, as the list file or as its backup.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "model/CXAudio.h"
#include "model/ListFile.h"
#include "storage/ListStore.h"
#include "storage/StoragePaths.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

QTemporaryDir* scratch = nullptr;
std::string pristineAudio;  // the stored files as they must be at the start of every input

void restoreDocuments() {
    const std::string docs = storage::documentsFolder();
    std::error_code ec;
    fs::remove_all(docs, ec);
    fs::create_directories(docs);
    fs::copy(pristineAudio, storage::audioFolderPath(), fs::copy_options::recursive);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    // On tmpfs where there is one: every save syncs, and a disk would make that the run's cost.
    const QString base = fs::exists("/dev/shm") ? "/dev/shm/cuevox-fuzz-XXXXXX" : QString();
    scratch = base.isEmpty() ? new QTemporaryDir : new QTemporaryDir(base);
    const std::string home = scratch->path().toStdString();
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);

    pristineAudio = home + "/pristine";
    fs::create_directories(pristineAudio);
    testfiles::writeToneWav(pristineAudio + "/a.wav", 48000, 0.2, 440.0, 0.25f);
    testfiles::writeToneWav(pristineAudio + "/b.wav", 22050, 0.1, 220.0, 0.25f, 1);
    testfiles::ffmpegConvert(pristineAudio + "/a.wav", pristineAudio + "/c.flac", "");

    // The load's one-line reports would drown libFuzzer's own output.
    static std::ostringstream sink;
    std::cout.rdbuf(sink.rdbuf());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    restoreDocuments();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string listPath = storage::listFilePath();
    testfiles::writeAll(listPath, bytes);

    ListStore store;
    CueList list;
    store.load(list, nullptr);
    const bool lossy = store.backupPending();
    store.save(list);

    // What the save wrote reads back as the list in memory.
    const std::string written = testfiles::readAll(listPath);
    if (written != bytes) {
        const auto value = listfile::parse(written);
        if (!value || !value->is_array() || value->size() != list.size()) {
            std::cerr << "saved list does not read back: " << written.substr(0, 200) << "\n";
            abort();
        }
    }
    // Nothing the load could not read is gone.
    if (lossy && written != bytes && testfiles::readAll(storage::backupFilePath()) != bytes) {
        std::cerr << "a list the load could not read was replaced without a backup\n";
        abort();
    }
    return 0;
}
