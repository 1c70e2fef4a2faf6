#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTest>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <mutex>

#include "audio/AudioEngine.h"
#include "model/CXAudio.h"
#include "model/ListFile.h"
#include "platform/MessageLog.h"
#include "storage/ListStore.h"
#include "storage/SaveWriter.h"
#include "support/OfflineEngine.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

json element(const std::string& file, const std::string& title) {
    return json{{"fileName", file}, {"audioTitle", title}, {"volumeLevel", 0.5}};
}

std::string listPath() {
    return storage::listFilePath();
}
std::string readList() {
    return testfiles::readAll(listPath());
}
bool audioFolderExists() {
    return fs::exists(storage::audioFolderPath());
}
bool stored(const std::string& name) {
    return fs::exists(storage::storedFilePath(name));
}
bool trashed(const TempHome& home, const std::string& name) {
    return fs::exists(home.path() + "/.local/share/Trash/files/" + name);
}

struct FileStamp {
    ino_t inode = 0;
    timespec mtime{};
    bool operator==(const FileStamp& o) const {
        return inode == o.inode && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};
FileStamp stampOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return {st.st_ino, st.st_mtim};
}

class ListStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isolated()) << home.isolationProblem();
        AudioEngine::shared();  // its one line about the output device is not ours to check
        fs::create_directories(home.docs());
        home.storeTone("a.wav", 0.4);
        home.storeTone("b.wav", 0.6);
    }
    void writeList(const json& value) { testfiles::writeAll(listPath(), value.dump(2)); }
    std::vector<std::string> titles(const CueList& list) {
        std::vector<std::string> out;
        for (const auto& cue : list) out.push_back(cue->audioTitle);
        return out;
    }

    TempHome home;
    ListStore store;
    CueList list;
    EndCounter delegate;
};

}  // namespace

// --- the private home ---------------------------------------------------------------------

// A desktop session that exports XDG_CONFIG_HOME, whose user-dirs.dirs puts Documents somewhere
// other than under HOME: the tests delete the storage folder and rewrite the list file there.
TEST(TempHomeTest, KeepsADesktopsDocumentsFolderOutOfReach) {
    QTemporaryDir desktop;
    ASSERT_TRUE(desktop.isValid());
    const std::string root = desktop.path().toStdString();
    const std::string show = root + "/RealShow";
    fs::create_directories(root + "/config");
    fs::create_directories(root + "/home");
    testfiles::writeAll(root + "/config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"" + show + "\"\n");
    const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
    const bool hadConfig = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    qputenv("HOME", QByteArray::fromStdString(root + "/home"));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(root + "/config"));
    ASSERT_EQ(storage::documentsFolder(), show);
    {
        TempHome home;
        EXPECT_TRUE(home.isolated()) << home.isolationProblem();
        EXPECT_EQ(storage::listFilePath(), home.docs() + "/cuevox.json");
        for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
            EXPECT_TRUE(qgetenv(name).startsWith(QByteArray::fromStdString(home.path()))) << name;

        // A Documents folder sent elsewhere from inside the private home is noticed too.
        fs::create_directories(home.path() + "/.config");
        testfiles::writeAll(home.path() + "/.config/user-dirs.dirs",
                            "XDG_DOCUMENTS_DIR=\"" + show + "\"\n");
        EXPECT_FALSE(home.isolated());
    }
    EXPECT_EQ(storage::documentsFolder(), show) << "the session's own setting is back";
    qputenv("HOME", oldHome);
    if (hadConfig)
        qputenv("XDG_CONFIG_HOME", oldConfig);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

// --- loading -------------------------------------------------------------------------------

TEST_F(ListStoreTest, NoListFileLoadsNothingQuietly) {
    CaptureStdout out;
    store.load(list, &delegate);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(out.text(), "");
    EXPECT_TRUE(audioFolderExists());
    EXPECT_FALSE(store.backupPending());
}

TEST_F(ListStoreTest, ContentThatIsNoListPrintsFailedToRead) {
    for (const std::string content :
         {"not json", "", "7", "\"[]\"", "[{\"fileName\": \"a.wav\"}"}) {
        testfiles::writeAll(listPath(), content);
        CaptureStdout out;
        CueList loaded;
        store.load(loaded, &delegate);
        EXPECT_TRUE(loaded.empty()) << content;
        EXPECT_EQ(out.text(), "Failed to read JSON\n") << content;
        EXPECT_TRUE(audioFolderExists());
        EXPECT_TRUE(store.backupPending());
    }
}

// A show's audio copied in first, beside an empty or no list: it stays, whatever is saved.
TEST_F(ListStoreTest, AnEmptyOrMissingListNeverTakesTheAudio) {
    for (const std::string content : {"[]", " { } "}) {
        testfiles::writeAll(listPath(), content);
        CaptureStdout out;
        store.load(list, &delegate);
        EXPECT_TRUE(list.empty());
        EXPECT_EQ(out.text(), "");
        EXPECT_TRUE(stored("a.wav")) << content;
        EXPECT_EQ(readList(), content) << "loading never writes";
    }
    fs::remove(listPath());
    store.save(list);
    EXPECT_TRUE(stored("a.wav") && stored("b.wav"));
}

TEST_F(ListStoreTest, FailingElementIsDroppedWithTwoLines) {
    testfiles::writeAll(storage::storedFilePath("bad.wav"), "not audio");
    writeList(json::array(
        {element("a.wav", "first"), element("bad.wav", "second"), element("b.wav", "third")}));
    CaptureStdout out;
    store.load(list, &delegate);
    EXPECT_EQ(titles(list), (std::vector<std::string>{"first", "third"}));
    EXPECT_EQ(out.text(),
              "Failed to create audio player\n"
              "Unable to load audio track from JSON, Audio Track 1\n");
    for (const auto& cue : list) EXPECT_EQ(cue->player->delegate(), &delegate);
    EXPECT_EQ(list[0]->volumeLevel, 0.5f);
}

TEST_F(ListStoreTest, TopLevelObjectReadsEachMemberAsNoObject) {
    writeList(json{{"x", element("a.wav", "one")}, {"y", element("b.wav", "two")}});
    {
        CaptureStdout out;
        store.load(list, &delegate);
        EXPECT_TRUE(list.empty());
        EXPECT_EQ(out.text(),
                  "Failed to create audio player\n"
                  "Unable to load audio track from JSON, Audio Track 0\n"
                  "Failed to create audio player\n"
                  "Unable to load audio track from JSON, Audio Track 1\n");
    }
    home.storeTone("error", 0.1);
    CaptureStdout out;
    store.load(list, &delegate);
    EXPECT_EQ(titles(list), (std::vector<std::string>{"error", "error"}));
    EXPECT_EQ(out.text(), "");
}

// --- saving --------------------------------------------------------------------------------

TEST_F(ListStoreTest, FirstChangeWritesTheListText) {
    store.load(list, &delegate);
    list.push_back(CXAudio::fromFileName("a.wav"));
    list.push_back(CXAudio::fromFileName("b.wav"));
    CaptureStdout out;
    store.save(list);
    EXPECT_EQ(readList(), listfile::text(list));
    EXPECT_EQ(out.text(), "");

    CueList again;
    store.load(again, &delegate);
    EXPECT_EQ(titles(again), (std::vector<std::string>{"a", "b"}));
}

TEST_F(ListStoreTest, UnchangedSaveLeavesTheFileAlone) {
    list.push_back(CXAudio::fromFileName("a.wav"));
    store.save(list);
    const FileStamp before = stampOf(listPath());
    const auto writes = store.filesWritten();
    QTest::qWait(20);
    store.save(list);
    EXPECT_EQ(stampOf(listPath()), before);
    EXPECT_EQ(store.filesWritten(), writes);

    // Equal as JSON is enough: whitespace, key order and 1 for 1.0 don't count as changes.
    json compact = listfile::parse(readList()).value();
    compact[0]["fadeInLength"] = 3;
    testfiles::writeAll(listPath(), compact.dump());
    const FileStamp handMade = stampOf(listPath());
    store.save(list);
    EXPECT_EQ(stampOf(listPath()), handMade);

    list[0]->volumeLevel = 0.25f;
    store.save(list);
    EXPECT_NE(stampOf(listPath()), handMade);
    EXPECT_EQ(readList(), listfile::text(list));
}

TEST_F(ListStoreTest, SaveOverTextThatIsNoListSaysSoAndReplacesIt) {
    list.push_back(CXAudio::fromFileName("a.wav"));
    testfiles::writeAll(listPath(), "garbage");  // appeared after the load
    CaptureStdout out;
    store.save(list);
    EXPECT_EQ(out.text(), "Error reading JSON\n");
    EXPECT_EQ(readList(), listfile::text(list));
}

TEST_F(ListStoreTest, MissingDocumentsFolderIsCreated) {
    fs::remove_all(home.docs());
    store.save(list);
    EXPECT_EQ(readList(), "[]");
}

// --- what the load could not read survives -------------------------------------------------

TEST_F(ListStoreTest, UnparsableListIsBackedUpAndItsAudioKept) {
    testfiles::writeAll(listPath(), "{ half a list");
    {
        CaptureStdout out;
        store.load(list, &delegate);
    }
    CaptureStdout out;
    store.save(list);
    EXPECT_EQ(out.text(), "Error reading JSON\n");
    EXPECT_EQ(readList(), "[]");
    EXPECT_EQ(testfiles::readAll(storage::backupFilePath()), "{ half a list");
    EXPECT_TRUE(fs::exists(storage::storedFilePath("a.wav")));

    // Unused audio goes to the trash, never further; the folder, the files named as in use or
    // in the list saved last, and a name claimed for an import in progress all stay.
    home.storeTone("c.wav", 0.1);
    home.storeTone("d.wav", 0.1);
    list.push_back(CXAudio::fromFileName("c.wav"));
    store.saveInBackground(list);
    store.claim("d.wav");
    store.trashUnusedAudio({"b.wav"});
    store.waitForIdle();
    EXPECT_TRUE(trashed(home, "a.wav") && stored("b.wav") && stored("c.wav") && stored("d.wav"));
    store.release("d.wav");
    store.trashUnusedAudio({});
    store.waitForIdle();
    EXPECT_TRUE(trashed(home, "b.wav") && stored("c.wav") && trashed(home, "d.wav") &&
                audioFolderExists());
}

// Its cues stay in the list, missing, and the list stays as it was: nothing to back up.
TEST_F(ListStoreTest, ListWhoseAudioWasOutOfReachKeepsItsCuesAndItsAudio) {
    json original = json::array({element("a.wav", "one"), element("b.wav", "two")});
    original[0]["cueNumber"] = "1";
    original[1]["cueNumber"] = "2";
    writeList(original);
    fs::rename(storage::audioFolderPath(), home.path() + "/away");
    {
        CaptureStdout out;
        store.load(list, &delegate);
    }
    ASSERT_EQ(titles(list), (std::vector<std::string>{"one", "two"}));
    EXPECT_TRUE(list[0]->missing() && list[1]->missing());
    EXPECT_FALSE(store.backupPending());
    fs::rename(home.path() + "/away", storage::audioFolderPath());
    store.save(list);
    store.trashUnusedAudio({});
    store.waitForIdle();
    EXPECT_EQ(readList(), original.dump(2));
    EXPECT_TRUE(fs::exists(storage::storedFilePath("b.wav")));
    EXPECT_TRUE(storage::backupFilePath().empty());
}

// Each partly read load is backed up once, in a file of its own: the next incomplete load does
// not overwrite it with the list the first one shortened. The last ten are kept.
TEST_F(ListStoreTest, PartlyReadListsAreBackedUpOnceEachTheLastTenKept) {
    testfiles::writeAll(storage::storedFilePath("bad.wav"), "not audio");
    for (int i = 0; i < 12; ++i) {
        writeList(json::array({element("a.wav", std::to_string(i)), element("bad.wav", "")}));
        {
            CaptureStdout out;
            store.load(list, &delegate);
        }
        store.save(list);
        list[0]->audioTitle = "renamed";
        store.save(list);
        list.clear();
    }
    std::vector<std::string> kept;
    for (const auto& entry : fs::directory_iterator(home.docs()))
        if (entry.path().extension() == ".bak") kept.push_back(entry.path().string());
    std::sort(kept.begin(), kept.end());
    ASSERT_EQ(kept.size(), 10u);
    for (size_t i = 0; i < kept.size(); ++i)
        EXPECT_EQ(json::parse(testfiles::readAll(kept[i]))[0]["audioTitle"], std::to_string(i + 2));
}

TEST_F(ListStoreTest, FailedWriteIsReportedAndTheOldListStays) {
    list.push_back(CXAudio::fromFileName("a.wav"));
    store.save(list);
    const std::string before = readList();
    list.push_back(CXAudio::fromFileName("b.wav"));

    // A full disk, as far as this process can tell.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = old;
    tight.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &tight);
    std::string printed;
    {
        CaptureStdout out;
        store.save(list);
        printed = out.text();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(printed, "Failed to write savejson\n");
    EXPECT_EQ(readList(), before);
    EXPECT_EQ(list.size(), 2u);
    for (const auto& entry : fs::directory_iterator(home.docs()))
        EXPECT_TRUE(entry.path().filename() == "cuevox.json" || entry.path().filename() == "audio")
            << "left behind: " << entry.path();

    store.save(list);
    EXPECT_EQ(readList(), listfile::text(list));
}

namespace {

// Makes a folder refuse new entries: by its mode for a normal user, by the immutable flag for
// root (whom modes don't stop). False when neither works here.
bool makeReadOnly(const std::string& folder, bool readOnly) {
    if (::geteuid() != 0) {
        fs::permissions(folder, fs::perms::owner_write,
                        readOnly ? fs::perm_options::remove : fs::perm_options::add);
    } else {
        const std::string cmd =
            std::string("chattr ") + (readOnly ? "+i" : "-i") + " '" + folder + "' 2>/dev/null";
        if (testfiles::run(cmd) != 0) return false;
    }
    if (!readOnly) return true;
    const std::string probe = folder + "/probe";
    if (std::FILE* f = std::fopen(probe.c_str(), "w")) {
        std::fclose(f);
        fs::remove(probe);
        return false;
    }
    return true;
}

}  // namespace

TEST_F(ListStoreTest, ReadOnlyDocumentsFolderKeepsTheOldListAndTheListInMemory) {
    list.push_back(CXAudio::fromFileName("a.wav"));
    store.save(list);
    const std::string before = readList();
    list.push_back(CXAudio::fromFileName("b.wav"));
    if (!makeReadOnly(home.docs(), true)) GTEST_SKIP() << "cannot make a folder read-only here";
    std::string printed;
    {
        CaptureStdout out;
        store.save(list);
        printed = out.text();
    }
    makeReadOnly(home.docs(), false);
    EXPECT_EQ(printed, "Failed to write savejson\n");
    EXPECT_EQ(readList(), before);
    EXPECT_EQ(list.size(), 2u);
    store.save(list);
    EXPECT_EQ(readList(), listfile::text(list));
}

// Hostile list files: each loads within seconds, and a save afterwards keeps what the load could
// not read, either in place or as the backup.
TEST_F(ListStoreTest, HostileListFilesLoadQuicklyAndSurviveTheNextSave) {
    const std::string cue = element("a.wav", "kept").dump();
    std::string manyCues = "[";
    for (int i = 0; i < 100000; ++i) manyCues += (i ? ",{\"fileName\":\"gone.wav\"}" : cue);
    manyCues += "]";
    std::string garbage(100 << 20, '\0');
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = char((i * 2654435761u) >> 13);
    garbage[0] = '[';
    struct Case {
        const char* what;
        std::string content;
        size_t cues;
    };
    const Case cases[] = {
        {"100,000 elements", manyCues, 100000},  // all but one missing, and kept
        {"deep nesting", std::string(100000, '[') + std::string(100000, ']'), 0},
        {"deep nesting, unclosed", std::string(1 << 20, '['), 0},
        {"100 MB of garbage", garbage, 0},
        {"100 MB list", "[" + cue + std::string(100 << 20, ' ') + "]", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        home.storeTone("a.wav", 0.4);
        for (const std::string& backup : storage::backupFilePaths()) fs::remove(backup);
        testfiles::writeAll(listPath(), c.content);
        ListStore fresh;
        CueList loaded;
        QElapsedTimer clock;
        clock.start();
        bool lossy = false;
        {
            CaptureStdout out;
            fresh.load(loaded, &delegate);
            EXPECT_EQ(loaded.size(), c.cues);
            lossy = fresh.backupPending();
            fresh.save(loaded);
        }
        // Guards against a load that grows worse than linearly (minutes), not a speed target:
        // on a shared, loaded machine one case alone has taken over 6 s.
        EXPECT_LT(clock.elapsed(), 20000 * testfiles::kSlowdown);
        EXPECT_TRUE(fs::exists(storage::storedFilePath("a.wav")));
        const std::string now = readList();
        if (now != c.content) {
            EXPECT_EQ(now, listfile::text(loaded));
            if (lossy) EXPECT_TRUE(testfiles::readAll(storage::backupFilePath()) == c.content);
        }
    }
}

// A received show's list names files outside its audio folder, directly or through a playlist
// stored as audio: none is opened, the operator is told, and the backup keeps them.
TEST_F(ListStoreTest, FilesOutsideTheAudioFolderAreRefusedAndKeptInTheBackup) {
    testfiles::writeToneWav(home.docs() + "/outside.wav", 48000, 0.5, 440.0, 0.1f);
    ASSERT_TRUE(testfiles::ffmpegConvert(home.docs() + "/outside.wav", home.docs() + "/o.mp3", ""));
    testfiles::writeAll(storage::storedFilePath("playlist.wav"),
                        "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:0.5,\n" + home.docs() +
                            "/o.mp3\n#EXT-X-ENDLIST\n");
    const json original = json::array(
        {element("a.wav", "in"), element("../outside.wav", "up"), element("playlist.wav", "")});
    writeList(original);
    {
        CaptureStdout out;
        store.load(list, &delegate);
    }
    EXPECT_EQ(titles(list), (std::vector<std::string>{"in"}));
    ASSERT_FALSE(MessageLog::instance().entries().isEmpty());
    EXPECT_TRUE(MessageLog::instance().entries().back().text.contains(
        "“up” (../outside.wav names a file outside the audio folder)"));
    store.save(list);
    EXPECT_EQ(testfiles::readAll(storage::backupFilePath()), original.dump(2));
}

// --- saves off the GUI thread ----------------------------------------------------------------

TEST(SaveWriterTest, OneWriteAtATimeAndTheNewestWins) {
    std::mutex mutex;
    std::vector<int> written;
    std::atomic<int> active{0}, mostActive{0};
    SaveWriter writer([&](const std::string& text) {
        const int now = ++active;
        mostActive = std::max(mostActive.load(), now);
        QThread::usleep(500);
        {
            std::lock_guard lock(mutex);
            written.push_back(std::stoi(text));
        }
        --active;
    });
    for (int i = 0; i < 300; ++i) {
        writer.submit(std::to_string(i));
        if (i % 3 == 0) QThread::usleep(300);  // let writes and submissions overlap
    }
    writer.waitForIdle();
    EXPECT_TRUE(writer.isIdle());
    EXPECT_EQ(mostActive.load(), 1);
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.back(), 299);
    EXPECT_TRUE(std::is_sorted(written.begin(), written.end()));
    EXPECT_EQ(std::adjacent_find(written.begin(), written.end()), written.end());
    EXPECT_EQ(writer.writesDone(), written.size());
}

TEST_F(ListStoreTest, BackgroundSaveWritesTheListAsItWasWhenHandedOver) {
    list.push_back(CXAudio::fromFileName("a.wav"));
    list[0]->audioTitle = "handed over";
    const std::string expected = listfile::text(list);
    store.saveInBackground(list);
    list[0]->audioTitle = "changed at once";
    list.push_back(CXAudio::fromFileName("b.wav"));
    store.waitForIdle();
    EXPECT_EQ(readList(), expected);

    for (int i = 0; i < 50; ++i) {
        list[0]->audioTitle = "take " + std::to_string(i);
        store.saveInBackground(list);
    }
    store.save(list);  // a save on the GUI thread after background ones still lands last
    EXPECT_EQ(readList(), listfile::text(list));
}

// --- a killed writer never leaves a broken list ---------------------------------------------

namespace {

// The n-th list of the loop: one to four cues whose options encode n.
CueList takeList(const CueList& pool, int n) {
    CueList out;
    for (int i = 0; i < n % 4 + 1; ++i) {
        pool[i]->audioTitle = "take " + std::to_string(n) + "/" + std::to_string(i);
        pool[i]->volumeLevel = float(n % 100) / 100.0f;
        pool[i]->startTime = n * 0.001;
        out.push_back(pool[i]);
    }
    return out;
}

CueList makePool() {
    CueList pool;
    for (int i = 0; i < 4; ++i) pool.push_back(CXAudio::fromFileName("a.wav"));
    return pool;
}

}  // namespace

// Runs only inside the child process the next test starts and kills.
TEST(ListStoreKillChild, SaveLoop) {
    if (!std::getenv("CUEVOX_SAVE_LOOP")) GTEST_SKIP() << "child process mode only";
    const CueList pool = makePool();
    ListStore store;
    // Never outlive the test that started this process, even if that test dies.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const int first = std::atoi(std::getenv("CUEVOX_SAVE_LOOP"));
    for (int n = first; std::chrono::steady_clock::now() < deadline; ++n) {
        store.save(takeList(pool, n));
        if (n == first) std::cout << "saving" << std::endl;
    }
}

TEST_F(ListStoreTest, KilledSaveLeavesOldOrNewListWhole) {
    const CueList pool = makePool();
    store.save(takeList(pool, 0));
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.path()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(home.path() + "/.config"));

    constexpr int kRounds = 25;
    int lastSeen = 0;
    for (int round = 0; round < kRounds; ++round) {
        env.insert("CUEVOX_SAVE_LOOP", QString::number(lastSeen + 1));
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_filter=ListStoreKillChild.SaveLoop"});
        ASSERT_TRUE(child.waitForStarted(5000));
        QByteArray seen;
        while (!seen.contains("saving") && child.waitForReadyRead(10000))
            seen += child.readAllStandardOutput();
        ASSERT_TRUE(seen.contains("saving")) << seen.toStdString();
        QThread::usleep(QRandomGenerator::global()->bounded(60000));
        child.kill();
        child.waitForFinished(5000);

        const auto value = listfile::parse(readList());
        ASSERT_TRUE(value && value->is_array() && !value->empty()) << readList();
        const std::string title = (*value)[0]["audioTitle"].get<std::string>();
        const int n = std::stoi(title.substr(5));
        EXPECT_GT(n, lastSeen);
        EXPECT_EQ(*value, listfile::parse(listfile::text(takeList(pool, n))).value());
        lastSeen = n;
    }
    EXPECT_GT(lastSeen, 2 * kRounds) << "the child wrote too little for the test to mean anything";
}
