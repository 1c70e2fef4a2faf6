// Import, duplicate, remove, the list commands, the menu and reset, on a real window with real
// files: only the open panel is replaced, by a chooser that returns the files a user would pick.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <archive.h>
#include <archive_entry.h>

#include <QLabel>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <atomic>
#include <csignal>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "WindowFixture.h"
#include "app/AppDelegate.h"
#include "app/SettingsViewController.h"
#include "app/ShowLock.h"
#include "audio/AudioEngine.h"
#include "model/ListFile.h"
#include "platform/MessageLog.h"
#include "platform/NotificationCenter.h"
#include "storage/Importer.h"
#include "window/MissingAudioWindow.h"
#include "window/RecentShows.h"

namespace fs = std::filesystem;

namespace {

class LibraryTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        ASSERT_TRUE(sources_.isValid());
        // The engine's start-up line must not land in the output a test captures.
        AudioEngine::shared();
    }

    // A tone of its own length outside the Documents folder, as a user would pick it.
    std::string source(const std::string& name, double seconds = 0.5) {
        const std::string path = sources_.path().toStdString() + "/" + name;
        testfiles::writeToneWav(path, 48000, seconds, 440.0, 0.1f);
        return path;
    }

    void choose(const std::vector<std::string>& paths) {
        QStringList list;
        for (const auto& p : paths) list << QString::fromStdString(p);
        vc().setFileChooser([list](QWidget*) { return list; });
    }

    std::string listText() { return savedList(); }
    bool trashed(const std::string& name) {
        return fs::exists(home_.path() + "/.local/share/Trash/files/" + name);
    }
    nlohmann::json listJSON() { return nlohmann::json::parse(listText()); }
    std::string audioDir() const { return documents_ + "/audio"; }
    std::string stored(const std::string& name) const { return audioDir() + "/" + name; }

    std::vector<std::string> fileNames() {
        std::vector<std::string> names;
        for (const auto& c : vc().cxList) names.push_back(c->fileName);
        return names;
    }
    // Once the duplicates asked for have joined the list.
    std::vector<std::string> titles() {
        waitFor([&] { return !vc().opening(); }, 5000);
        std::vector<std::string> names;
        for (const auto& c : vc().cxList) names.push_back(c->audioTitle);
        return names;
    }
    QString indexText(int row) {
        CXTableCell* cell = table().viewAtColumn(0, row);
        return cell ? cell->cxIndex()->text() : QString();
    }
    void select(int row) { table().selectRowIndexes({row}, false); }
    uint64_t writes() { return listsWritten(); }

    // Five cues on one stored file, titled A to E.
    void openFive() {
        const std::string f = audioFile("tone.wav", 1.0);
        std::vector<nlohmann::json> cues;
        for (const char* t : {"A", "B", "C", "D", "E"}) cues.push_back(cue(f, {{"audioTitle", t}}));
        writeList(cues);
        open();
    }

    // A key on the active window, its menu connected as the program connects it.
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        if (!keysConnected_) {
            keysConnected_ = true;
            delegate_.connectMenu(*window_);
            delegate_.applicationDidFinishLaunching();
            window_->activateWindow();
            EXPECT_TRUE(QTest::qWaitForWindowActive(window_.get()));
            table().setFocus();
        }
        QTest::keyClick(&table(), key, modifiers);
    }

    QTemporaryDir sources_;
    AppDelegate delegate_;
    bool keysConnected_ = false;
};

std::vector<std::string> v(std::initializer_list<const char*> items) {
    return {items.begin(), items.end()};
}

TEST(ImporterTest, NameFilterWorksOnWholeCharacters) {
    using importer::storedName;
    EXPECT_EQ(storedName("/x/My Song.mp3"), "My Song.mp3");
    EXPECT_EQ(storedName("/x/ .wav"), ".wav");
    EXPECT_EQ(storedName("/x/ a  b .wav "), "a  b .wav");
    EXPECT_EQ(storedName("/x/a\tb\nc d.flac"), "abc d.flac");
    EXPECT_EQ(storedName("/x/lone\rcr.wav"), "lonecr.wav");
    // CR LF is one character and none of the four; so is a space carrying a combining mark.
    EXPECT_EQ(storedName("/x/a\r\nb.wav"), "a\r\nb.wav");
    EXPECT_EQ(storedName(QString::fromUtf16(u"/x/ \u0301 f.wav")),
              QString::fromUtf16(u" \u0301 f.wav"));

    const QString filter = importer::nameFilter();
    EXPECT_EQ(importer::extensions().size(), 17);
    for (const QString& e : importer::extensions()) {
        EXPECT_TRUE(filter.contains(" *." + e + " ") || filter.contains("(*." + e + " "))
            << e.toStdString();
        EXPECT_TRUE(filter.contains("*." + e.toUpper())) << e.toStdString();
    }
}

TEST_F(LibraryTest, ImportIntoAnEmptyListCreatesTheFolderAndKeepsThePanelOrder) {
    fs::remove_all(audioDir());
    open();
    const std::string a = source("My Song.wav", 0.5), b = source(" .wav", 0.7),
                      c = source("a\r\nb.wav", 0.9), d = source("tab\there.WAV", 1.1);
    choose({c, a, d, b});
    CaptureStdout out;
    vc().addAudio();

    EXPECT_EQ(out.text(), audioDir() + "\n");
    EXPECT_EQ(fileNames(), v({"a\r\nb.wav", "My Song.wav", "tabhere.WAV", ".wav"}));
    EXPECT_EQ(titles(), v({"a\r\nb", "My Song", "tabhere", ".wav"}));
    EXPECT_NEAR(cueAt(3).endTime, 0.7, 1e-9);
    EXPECT_EQ(cueAt(0).player->delegate(), &vc());
    EXPECT_EQ(testfiles::readAll(stored("My Song.wav")), testfiles::readAll(a));
    EXPECT_EQ(table().numberOfRows(), 4);
    EXPECT_EQ(indexText(3), "4");
    EXPECT_EQ(table().selectedRow(), -1);
    const auto saved = listJSON();
    ASSERT_EQ(saved.size(), 4u);
    EXPECT_EQ(saved[2]["fileName"], "tabhere.WAV");

    // A cancelled panel ends the command without a word.
    choose({});
    CaptureStdout quiet;
    vc().addAudio();
    EXPECT_EQ(quiet.text(), "");
    EXPECT_EQ(vc().cxList.size(), 4u);
}

// A file whose stored name is taken comes in beside the old one unless the operator chooses to
// replace it, which a cue playing that file refuses; names apart only in spaces are two files.
TEST_F(LibraryTest, ImportUnderATakenNameKeepsBothUnlessReplaced) {
    openFive();
    const std::string spaced = source("A B.wav", 0.5), joined = source("AB.wav", 0.8),
                      twice = source("twice.wav", 0.6), other = source("tone.wav", 0.3);
    QStringList asked;
    NameTaken answer = NameTaken::KeepBoth;
    vc().setNameTakenQuestion([&](QWidget*, const QString& name) {
        asked << name;
        return answer;
    });
    choose({spaced, twice, joined, twice});
    vc().addAudio();
    EXPECT_EQ(fileNames(), v({"tone.wav", "tone.wav", "tone.wav", "tone.wav", "tone.wav", "A B.wav",
                              "twice.wav", "AB.wav", "twice (2).wav"}));
    EXPECT_EQ(asked, QStringList{"twice.wav"});

    const std::string before = testfiles::readAll(stored("tone.wav"));
    answer = NameTaken::Replace;
    click(0);
    choose({other});
    vc().addAudio();
    EXPECT_EQ(cueAt(9).fileName, "tone (2).wav") << "replaced under a playing cue";
    EXPECT_TRUE(testfiles::readAll(stored("tone.wav")) == before);
    click(0);
    ASSERT_TRUE(waitFor([&] { return !playing(0); }, 2000));
    vc().addAudio();
    EXPECT_EQ(cueAt(10).fileName, "tone.wav");
    EXPECT_TRUE(testfiles::readAll(stored("tone.wav")) == testfiles::readAll(other));

    answer = NameTaken::Cancel;
    vc().addAudio();
    EXPECT_EQ(vc().cxList.size(), 11u);
}

TEST_F(LibraryTest, ImportingTheStoredFileItselfKeepsIt) {
    const std::string f = audioFile("Kept.wav", 0.75);
    const std::string before = testfiles::readAll(stored(f));
    writeList({cue(f)});
    open();
    choose({stored(f)});
    CaptureStdout out;
    vc().addAudio();

    EXPECT_EQ(out.text(), audioDir() + "\n");
    ASSERT_EQ(vc().cxList.size(), 2u);
    EXPECT_EQ(cueAt(1).fileName, "Kept.wav");
    EXPECT_NEAR(cueAt(1).endTime, 0.75, 1e-9);
    EXPECT_EQ(testfiles::readAll(stored(f)), before);
}

TEST_F(LibraryTest, ImportFailuresEndTheCommandWhereTheyHappen) {
    const std::string f = audioFile("tone.wav", 0.5);
    writeList({cue(f)});
    open();

    // The second of three cannot be copied: the first is kept, in the table and the list file
    // (no change may be lost), and the third is never looked at.
    const std::string first = source("first.wav"), third = source("third.wav");
    {
        CaptureStdout out;
        choose({first, sources_.path().toStdString() + "/gone.wav", third});
        vc().addAudio();
        EXPECT_EQ(out.text(), audioDir() + "\nFailed to initialize audio file\n");
    }
    EXPECT_EQ(fileNames(), v({"tone.wav", "first.wav"}));
    EXPECT_TRUE(fs::exists(stored("first.wav")));
    EXPECT_FALSE(fs::exists(stored("third.wav")));
    EXPECT_EQ(table().numberOfRows(), 2);
    EXPECT_EQ(listJSON().size(), 2u);

    // A copy that is not audio fails as a cue, after the player's own line.
    const std::string bogus = sources_.path().toStdString() + "/notes.mp3";
    testfiles::writeAll(bogus, "not audio at all");
    {
        CaptureStdout out;
        choose({bogus});
        vc().addAudio();
        EXPECT_EQ(
            out.text(),
            audioDir() + "\nFailed to create audio player\nFailed to initialize audio file\n");
    }
    EXPECT_EQ(vc().cxList.size(), 2u);
    EXPECT_EQ(listJSON().size(), 2u);

    // No storage folder can be made where the Documents folder is a file.
    window_.reset();
    fs::remove_all(documents_);
    testfiles::writeAll(documents_, "in the way");
    open();
    CaptureStdout out;
    choose({first});
    vc().addAudio();
    EXPECT_EQ(out.text(), audioDir() + "\nFailed to create directory at " + audioDir() + "\n");
    EXPECT_TRUE(vc().cxList.empty());
}

TEST_F(LibraryTest, SameNameImportThatIsNoAudioLeavesTheStoredFileAsItWas) {
    const std::string f = audioFile("Song.wav", 1.5);
    const std::string before = testfiles::readAll(stored(f));
    writeList({cue(f)});
    open();
    vc().setNameTakenQuestion([](QWidget*, const QString&) { return NameTaken::Replace; });
    vc().saveList();
    const std::string savedBefore = listText();

    for (const std::string content : {"not audio at all", ""}) {
        SCOPED_TRACE(content.empty() ? "empty" : "text");
        const std::string impostor = sources_.path().toStdString() + "/Song.wav";
        testfiles::writeAll(impostor, content);
        choose({impostor});
        CaptureStdout out;
        vc().addAudio();
        EXPECT_EQ(
            out.text(),
            audioDir() + "\nFailed to create audio player\nFailed to initialize audio file\n");
        EXPECT_TRUE(testfiles::readAll(stored(f)) == before) << "the stored file changed";
        EXPECT_EQ(vc().cxList.size(), 1u);
        EXPECT_EQ(listText(), savedBefore);
        std::vector<std::string> files;
        for (const auto& e : fs::directory_iterator(audioDir()))
            files.push_back(e.path().filename().string());
        EXPECT_EQ(files, v({"Song.wav"})) << "the checked copy is not left behind";
    }

    // The cue on it plays its whole file, now and after the list is opened again.
    click(0);
    QTest::qWait(600);
    EXPECT_TRUE(playing(0));
    EXPECT_GT(cueAt(0).player->currentTime(), 0.4);
    click(0);
    window_.reset();
    open();
    ASSERT_EQ(vc().cxList.size(), 1u);
    EXPECT_NEAR(cueAt(0).player->duration(), 1.5, 1e-9);
}

TEST_F(LibraryTest, SameNameImportOfOtherAudioIsPlayedWholeByTheCuesOnIt) {
    const std::string f = audioFile("Song.wav", 0.5);
    writeList({cue(f), cue(f, {{"endTime", 0.3}})});
    open();
    ASSERT_EQ(vc().cxList.size(), 2u);
    vc().setNameTakenQuestion([](QWidget*, const QString&) { return NameTaken::Replace; });

    const std::string longer = sources_.path().toStdString() + "/Song.wav";
    testfiles::writeToneWav(longer, 44100, 1.2, 330.0, 0.2f);
    choose({longer});
    {
        CaptureStdout out;
        vc().addAudio();
    }
    ASSERT_EQ(vc().cxList.size(), 3u);
    // The cue that ran to the old end runs to the new one; a cut inside both files stays.
    EXPECT_NEAR(cueAt(0).player->duration(), 1.2, 1e-3);
    EXPECT_NEAR(cueAt(0).endTime, cueAt(0).player->duration(), 1e-9);
    EXPECT_NEAR(cueAt(1).endTime, 0.3, 1e-9);

    click(0);
    // However late the device starts, the cue plays on past the old file's length.
    EXPECT_TRUE(waitFor([&] { return cueAt(0).player->currentTime() > 0.7; }, 3000));
    EXPECT_TRUE(playing(0)) << "stopped at the old file's length";
    click(0);
}

TEST_F(LibraryTest, CancelStopsAfterTheFileBeingCopiedWhileTheWindowKeepsPainting) {
    openFive();
    // The first file is a pipe that delivers its audio only when the test says so: the copy is
    // stuck on it for as long as the test needs, with no timing guesswork.
    const std::string pipe = sources_.path().toStdString() + "/Slow Pipe.wav";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const std::string later = source("later.wav"), last = source("last.wav");
    const std::string audio = testfiles::readAll(source("content.wav", 0.4));

    std::promise<void> release;
    std::thread writer([&, go = release.get_future()]() mutable {
        go.wait_for(std::chrono::seconds(10));
        std::ofstream(pipe, std::ios::binary) << audio;
    });

    int paints = 0;
    struct PaintCounter : QObject {
        int* count;
        explicit PaintCounter(int* c) : count(c) {}
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++*count;
            return false;
        }
    } counter(&paints);

    QString label;
    bool dialogShown = false;
    QStringList chosen = {QString::fromStdString(pipe), QString::fromStdString(later),
                          QString::fromStdString(last)};
    vc().setFileChooser([&](QWidget*) {
        table().viewport()->installEventFilter(&counter);
        QTimer::singleShot(100, [&] { table().viewport()->update(); });
        QTimer::singleShot(700, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* dialog = qobject_cast<QProgressDialog*>(w)) {
                    dialogShown = dialog->isVisible();
                    label = dialog->labelText();
                    if (auto* cancel = dialog->findChild<QPushButton*>()) cancel->click();
                }
            release.set_value();
        });
        return chosen;
    });
    vc().addAudio();
    writer.join();
    table().viewport()->removeEventFilter(&counter);

    EXPECT_TRUE(dialogShown);
    EXPECT_TRUE(label.contains("Slow Pipe.wav")) << label.toStdString();
    EXPECT_TRUE(label.contains("File 1 of 3")) << label.toStdString();
    EXPECT_GT(paints, 0) << "the window did not paint while the copy was stuck";
    ASSERT_EQ(vc().cxList.size(), 6u);
    EXPECT_EQ(cueAt(5).fileName, "Slow Pipe.wav");
    EXPECT_NEAR(cueAt(5).endTime, 0.4, 1e-9);
    EXPECT_EQ(table().numberOfRows(), 6);
    EXPECT_EQ(listJSON().size(), 6u);
    EXPECT_FALSE(fs::exists(stored("later.wav")));
    EXPECT_FALSE(fs::exists(stored("last.wav")));
}

TEST_F(LibraryTest, DuplicatesAppendAndSelectTheCopy) {
    const std::string f = audioFile("Bell.wav", 1.0);
    const nlohmann::json options = {
        {"audioTitle", "Edited"}, {"volumeLevel", 0.5}, {"panAudio", -0.25}, {"fadeIn", true},
        {"fadeInLength", 1.5},    {"repeatCount", 2},   {"startTime", 0.25}, {"extendPlay", true}};
    writeList({cue(f), cue(f, options), cue(f), cue(f)});
    open();

    // Nothing selected: nothing happens.
    selectNothing();
    vc().duplicateAudio();
    vc().duplicateAudioWithoutOptions();
    EXPECT_EQ(vc().cxList.size(), 4u);

    select(1);
    vc().duplicateAudio();
    ASSERT_TRUE(waitFor([&] { return !vc().opening(); }, 5000));
    ASSERT_EQ(vc().cxList.size(), 5u);
    EXPECT_EQ(table().selectedRow(), 4);
    EXPECT_EQ(table().numberOfRows(), 5);
    EXPECT_NE(&cueAt(4), &cueAt(1));
    EXPECT_NE(cueAt(4).player.get(), cueAt(1).player.get());
    EXPECT_EQ(cueAt(4).player->delegate(), &vc());
    // Every option but the number, which is the copy's own.
    nlohmann::json copied = cueAt(1).toJSON();
    copied["cueNumber"] = "5";
    EXPECT_EQ(cueAt(4).toJSON(), copied);
    EXPECT_EQ(listJSON()[4], copied);

    select(1);
    vc().duplicateAudioWithoutOptions();
    ASSERT_TRUE(waitFor([&] { return !vc().opening(); }, 5000));
    ASSERT_EQ(vc().cxList.size(), 6u);
    EXPECT_EQ(table().selectedRow(), 5);
    EXPECT_EQ(cueAt(5).audioTitle, "Bell");
    nlohmann::json plain = CXAudio(std::string("Bell.wav")).toJSON();
    plain["cueNumber"] = "6";
    EXPECT_EQ(cueAt(5).toJSON(), plain);
    EXPECT_EQ(listJSON().size(), 6u);

    // The stored file has gone: no copy, nothing changes.
    fs::remove(stored(f));
    select(2);
    const uint64_t before = writes();
    for (auto duplicate :
         {&ViewController::duplicateAudio, &ViewController::duplicateAudioWithoutOptions}) {
        CaptureStdout out;
        (vc().*duplicate)();
        ASSERT_TRUE(waitFor([&] { return !vc().opening(); }, 5000));
        EXPECT_EQ(out.text(), "Failed to create audio player\nUnable to duplicate\n");
    }
    EXPECT_EQ(vc().cxList.size(), 6u);
    EXPECT_EQ(table().selectedRow(), 2);
    EXPECT_EQ(writes(), before);
}

TEST_F(LibraryTest, RemoveSelectsANeighbourRenumbersAndEmptiesTheStorageWithTheLastCue) {
    openFive();
    selectNothing();
    vc().removeAudio();
    EXPECT_EQ(vc().cxList.size(), 5u) << "no selection, nothing removed";

    // A middle row: the one above is selected, the rows below move up with their numbers and new
    // tags.
    select(3);
    vc().removeAudio();
    EXPECT_EQ(titles(), v({"A", "B", "C", "E"}));
    EXPECT_EQ(table().selectedRow(), 2);
    EXPECT_EQ(table().numberOfRows(), 4);
    EXPECT_EQ(indexText(3), "5");
    EXPECT_EQ(tagOf(playButton(3)), 3);
    EXPECT_EQ(listJSON().size(), 4u);
    EXPECT_EQ(listJSON()[3]["audioTitle"], "E");
    EXPECT_TRUE(fs::exists(stored("tone.wav")));

    // The first row: the new first row is selected.
    select(0);
    vc().removeAudio();
    EXPECT_EQ(titles(), v({"B", "C", "E"}));
    EXPECT_EQ(table().selectedRow(), 0);
    EXPECT_EQ(indexText(0), "2");
    EXPECT_EQ(tagOf(playButton(0)), 0);

    // The last row.
    select(2);
    vc().removeAudio();
    EXPECT_EQ(titles(), v({"B", "C"}));
    EXPECT_EQ(table().selectedRow(), 1);

    // The last cue goes at the Delete key without a question (a question would be a modal
    // window, closed here and counted); its stored audio stays for as long as Undo can bring
    // it back, and the emptied list is saved.
    select(0);
    vc().removeAudio();
    bool asked = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) asked = modal->close();
    });
    watch.start(50);
    press(Qt::Key_Delete);
    EXPECT_FALSE(asked);
    EXPECT_TRUE(vc().cxList.empty());
    EXPECT_EQ(table().numberOfRows(), 0);
    EXPECT_EQ(listText(), "[]");
    EXPECT_TRUE(fs::exists(stored("tone.wav")));
    press(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(titles(), v({"C"}));
    EXPECT_EQ(listJSON()[0]["audioTitle"], "C");
}

// Cue numbers are the operator's: an old list reads 1 to 5; F2 edits one (a taken number is
// refused, Escape drops the edit and only then stops the show); Renumber, colours, new cues,
// moves and an undone removal keep them; they and the colours survive a reload.
TEST_F(LibraryTest, CueNumbersAreTheOperatorsOwnThroughEditsRenumbersAndReload) {
    openFive();
    auto numbers = [&] {
        std::vector<std::string> out;
        for (const auto& c : vc().cxList) out.push_back(c->cueNumber);
        return out;
    };
    EXPECT_EQ(numbers(), v({"1", "2", "3", "4", "5"}));
    auto shade = [&](int row, QPalette::ColorRole role) {
        return table().viewAtColumn(0, row)->cxIndex()->palette().color(role);
    };
    auto typeNumber = [&](int row, const char* text, Qt::Key end) {
        select(row);
        press(Qt::Key_F2);
        QWidget* editor = QApplication::focusWidget();
        ASSERT_TRUE(editor && editor->objectName() == "cueNumberEditor");
        QTest::keyClicks(editor, text);
        QTest::keyClick(editor, end);
    };
    typeNumber(1, "4", Qt::Key_Return);
    EXPECT_EQ(cueAt(1).cueNumber, "2");
    EXPECT_TRUE(window_->findChild<QLabel*>("messageLatest")->toolTip().contains("taken by “D”"));
    click(0);
    typeNumber(1, "9", Qt::Key_Escape);
    EXPECT_EQ(cueAt(1).cueNumber, "2");
    EXPECT_TRUE(playing(0)) << "the Escape that ended the edit stopped the show";
    EXPECT_EQ(QApplication::focusWidget(), &table());
    press(Qt::Key_Escape);
    EXPECT_TRUE(waitFor([&] { return !playing(0); }, 3000));
    typeNumber(1, " 1.5 ", Qt::Key_Return);
    EXPECT_EQ(indexText(1), "1.5");
    EXPECT_EQ(listJSON()[1]["cueNumber"], "1.5");
    press(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(indexText(1), "2");
    press(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(cueAt(1).cueNumber, "1.5");
    vc().setShowMode(true);
    press(Qt::Key_F2);
    EXPECT_EQ(QApplication::focusWidget(), &table()) << "show mode opens no number";
    EXPECT_FALSE(vc().setCueNumber(1, "7") || vc().renumberSelected("20", "1"));
    vc().setShowMode(false);

    table().selectRowIndexes({2, 3, 4}, false);
    EXPECT_TRUE(vc().renumberSelected("10", "0.5"));
    EXPECT_EQ(numbers(), v({"1", "1.5", "10", "10.5", "11"}));
    table().selectRowIndexes({0, 1}, false);
    EXPECT_FALSE(vc().renumberSelected("10", "1")) << "10 belongs to C";
    EXPECT_EQ(numbers(), v({"1", "1.5", "10", "10.5", "11"}));
    vc().colourSelected("#f2d43c");
    select(2);
    vc().colourSelected("#2f6fd0");
    // Dark text on yellow, white on blue.
    EXPECT_EQ(shade(0, QPalette::WindowText), QColor(0x1b, 0x1b, 0x1b));
    EXPECT_EQ(shade(2, QPalette::WindowText), QColor(Qt::white));

    // New cues take the whole number after the last cue's; moves and undone removals keep theirs.
    select(0);
    vc().duplicateAudio();
    EXPECT_EQ(titles().back(), "A");
    EXPECT_EQ(cueAt(5).cueNumber, "12");
    select(0);
    press(Qt::Key_Down, Qt::ControlModifier);
    select(3);
    vc().removeAudio();
    press(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(numbers(), v({"1.5", "1", "10", "10.5", "11", "12"}));

    window_.reset();
    open();
    EXPECT_EQ(numbers(), v({"1.5", "1", "10", "10.5", "11", "12"}));
    EXPECT_EQ(cueAt(0).color, "#f2d43c");
    // As painted: inside the table a palette alone would not show.
    QLabel* blue = table().viewAtColumn(0, 2)->cxIndex();
    EXPECT_EQ(blue->grab().toImage().pixelColor(1, 1), QColor("#2f6fd0"));
}

// A named pipe that gives `content` to each reader once released: until then a reader waits in
// its open, as on a hung disk. It releases itself after 5 s, so code that waits for it on the GUI
// thread fails the test instead of hanging it.
struct HeldPipe {
    HeldPipe(const std::string& path, const std::string& content)
        // A pipe that cannot be made counts as released from the start: the test fails.
        : released((fs::remove(path), ::mkfifo(path.c_str(), 0600) != 0)),
          server([this, path, content] {
              std::signal(SIGPIPE, SIG_IGN);  // a reader that has seen enough closes early
              for (int i = 0; !stop; ++i) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
                  if (i == 1000) released = true;
                  const int fd = released ? ::open(path.c_str(), O_WRONLY | O_NONBLOCK) : -1;
                  struct stat st {};
                  if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode))
                      (void)!(::fcntl(fd, F_SETFL, 0), ::write(fd, content.data(), content.size()));
                  if (fd >= 0) ::close(fd);
              }
          }) {}
    ~HeldPipe() {
        stop = true;
        server.join();
    }
    std::atomic<bool> released, stop{false};
    std::thread server;
};

// Saves are written, and new cues' files opened, off the GUI thread: a disk that hangs on
// either holds up neither the window nor its events. A volume drag saves once, on release.
TEST_F(LibraryTest, SavesAndOpeningsNeverHoldUpTheWindow) {
    const std::string f = audioFile("tone.wav", 1.0);
    writeList({cue(f), cue(f), cue(audioFile("slow.wav", 1.0))});
    open();
    {
        HeldPipe list(documents_ + "/cuevox.json", "[]");
        cueAt(0).audioTitle = "Renamed";
        vc().saveMenuButton();
        EXPECT_FALSE(list.released) << "the GUI thread waited for the list file";
        list.released = true;
        EXPECT_EQ(listJSON()[0]["audioTitle"], "Renamed");
    }

    const uint64_t before = writes();
    DoubleSlider* volume = table().viewAtColumn(5, 1)->cxVolumeSlider();
    volume->setSliderDown(true);
    for (int step : {9000, 8000, 7000, 6000}) volume->setValue(step);
    EXPECT_EQ(writes(), before) << "saved on every step of the drag";
    volume->setSliderDown(false);
    EXPECT_EQ(writes(), before + 1);
    EXPECT_NEAR(listJSON()[1]["volumeLevel"].get<double>(), 0.6, 1e-6);

    // A duplicate's file is opened on a worker while the window's events go on.
    HeldPipe slow(stored("slow.wav"), testfiles::readAll(stored(f)));
    bool ranWhileOpening = false;
    QTimer::singleShot(0, [&] { ranWhileOpening = !slow.released.exchange(true); });
    select(2);
    vc().duplicateAudio();
    ASSERT_TRUE(waitFor([&] { return !vc().opening(); }, 10000));
    EXPECT_TRUE(ranWhileOpening) << "the window's events waited for the file to open";
    EXPECT_EQ(fileNames(), v({"tone.wav", "tone.wav", "slow.wav", "slow.wav"}));
    window_.reset();  // while the pipe still serves its decoders
}

TEST_F(LibraryTest, EveryListChangeUndoesAndRedoesWithItsFileWhileACuePlaysOn) {
    const std::string f = audioFile("tone.wav", 1.0), bed = audioFile("bed.wav", 60.0);
    writeList({cue(f, {{"audioTitle", "A"}}), cue(f, {{"audioTitle", "B"}}),
               cue(bed, {{"audioTitle", "Bed"}}), cue(f, {{"audioTitle", "D"}})});
    open();
    CXAudio* playingBed = &cueAt(2);
    click(2);
    QAction* undo = window_->findChild<QAction*>("actionUndo");
    QAction* redo = window_->findChild<QAction*>("actionRedo");
    ASSERT_TRUE(undo && redo);
    auto savedTitles = [&] {
        std::vector<std::string> names;
        for (const auto& c : listJSON()) names.push_back(c["audioTitle"]);
        return names;
    };
    auto step = [&](QAction* action, const char* named, std::vector<std::string> expected) {
        EXPECT_EQ(action->text().remove('&'), named);
        action->trigger();
        EXPECT_EQ(titles(), expected) << named;
        EXPECT_EQ(savedTitles(), expected) << named;
        EXPECT_TRUE(playingBed->player->isPlaying()) << named;
    };

    // Removed at the Delete key: told in the message area, whose Undo brings the cue back.
    select(3);
    press(Qt::Key_Delete);
    EXPECT_EQ(titles(), v({"A", "B", "Bed"}));
    EXPECT_TRUE(
        window_->findChild<QLabel*>("messageLatest")->toolTip().contains("Removed cue 4 “D”."));
    auto* undoRemove = window_->findChild<QToolButton*>("messageAction");
    ASSERT_TRUE(undoRemove && undoRemove->isVisible());
    undoRemove->click();
    EXPECT_EQ(titles(), v({"A", "B", "Bed", "D"}));
    EXPECT_EQ(table().selectedRow(), 3);
    step(redo, "Redo Remove", v({"A", "B", "Bed"}));
    step(undo, "Undo Remove", v({"A", "B", "Bed", "D"}));

    select(0);
    vc().moveAudioDownMenuButton();
    step(undo, "Undo Move", v({"A", "B", "Bed", "D"}));
    step(redo, "Redo Move", v({"B", "A", "Bed", "D"}));
    vc().duplicateAudio();
    ASSERT_TRUE(waitFor([&] { return !vc().opening(); }, 10000));
    step(undo, "Undo Duplicate", v({"B", "A", "Bed", "D"}));
    step(redo, "Redo Duplicate", v({"B", "A", "Bed", "D", "A"}));
    choose({source("new.wav"), source("other.wav")});
    vc().addAudio();
    step(undo, "Undo Import", v({"B", "A", "Bed", "D", "A"}));
    step(redo, "Redo Import", v({"B", "A", "Bed", "D", "A", "new", "other"}));
    EXPECT_EQ(&cueAt(2), playingBed);
}

TEST_F(LibraryTest, VolumeStepsReachTheBoundsExactly) {
    const std::string f = audioFile("tone.wav", 1.0);
    writeList({cue(f, {{"volumeLevel", 0.0}}), cue(f, {{"volumeLevel", 0.95}})});
    open();
    selectNothing();
    const uint64_t start = writes();
    vc().volUpMenuButton();
    vc().volDownMenuButton();
    EXPECT_EQ(writes(), start) << "no selection: no change, no save";
    EXPECT_EQ(cueAt(0).volumeLevel, 0.0f);

    select(0);
    for (int i = 0; i < 9; ++i) vc().volUpMenuButton();
    EXPECT_LT(cueAt(0).volumeLevel, 1.0f);
    vc().volUpMenuButton();
    EXPECT_EQ(cueAt(0).volumeLevel, 1.0f);
    EXPECT_EQ(cueAt(0).player->volume(), 1.0f);
    EXPECT_EQ(table().viewAtColumn(5, 0)->cxVolumeSlider()->floatValue(), 1.0f);
    for (int i = 0; i < 10; ++i) vc().volDownMenuButton();
    EXPECT_EQ(cueAt(0).volumeLevel, 0.0f);
    EXPECT_EQ(cueAt(0).player->volume(), 0.0f);
    EXPECT_EQ(listJSON()[0]["volumeLevel"], 0.0);

    select(1);
    vc().volUpMenuButton();
    EXPECT_EQ(cueAt(1).volumeLevel, 1.0f);
    vc().volUpMenuButton();
    EXPECT_EQ(cueAt(1).volumeLevel, 1.0f);
    EXPECT_EQ(listJSON()[1]["volumeLevel"], 1.0);
}

TEST_F(LibraryTest, VolumeStepOnARowOutOfView) {
    const std::string f = audioFile("tone.wav", 1.0);
    writeList(std::vector<nlohmann::json>(60, cue(f, {{"volumeLevel", 0.5}})));
    open(1000, 300);
    select(59);
    table().scrollToTop();
    table().syncCells();
    ASSERT_EQ(table().viewAtColumn(5, 59), nullptr);
    vc().volDownMenuButton();
    EXPECT_EQ(cueAt(59).volumeLevel, 0.5f - 0.1f);
    EXPECT_EQ(cueAt(59).player->volume(), 0.5f - 0.1f);
    EXPECT_EQ(listJSON()[59]["volumeLevel"].get<float>(), 0.5f - 0.1f);
    table().scrollToBottom();
    table().syncCells();
    ASSERT_NE(table().viewAtColumn(5, 59), nullptr);
    EXPECT_EQ(table().viewAtColumn(5, 59)->cxVolumeSlider()->floatValue(), 0.5f - 0.1f);
}

TEST_F(LibraryTest, MovesSwapWithTheNeighbourAndStopAtTheEdges) {
    openFive();
    selectNothing();
    const uint64_t start = writes();
    vc().moveAudioUpMenuButton();
    vc().moveAudioDownMenuButton();
    select(0);
    vc().moveAudioUpMenuButton();
    select(4);
    vc().moveAudioDownMenuButton();
    EXPECT_EQ(titles(), v({"A", "B", "C", "D", "E"}));
    EXPECT_EQ(writes(), start);

    select(2);
    vc().moveAudioDownMenuButton();
    EXPECT_EQ(titles(), v({"A", "B", "D", "C", "E"}));
    EXPECT_EQ(table().selectedRow(), 3);
    EXPECT_EQ(listJSON()[3]["audioTitle"], "C");
    EXPECT_EQ(tagOf(playButton(3)), 3);
    EXPECT_EQ(tagOf(playButton(2)), 2);
    EXPECT_EQ(indexText(3), "3");
    vc().moveAudioDownMenuButton();
    vc().moveAudioDownMenuButton();
    EXPECT_EQ(titles(), v({"A", "B", "D", "E", "C"}));
    EXPECT_EQ(table().selectedRow(), 4);

    vc().moveAudioUpMenuButton();
    EXPECT_EQ(titles(), v({"A", "B", "D", "C", "E"}));
    EXPECT_EQ(table().selectedRow(), 3);
    // The row's play button still starts the cue it shows.
    click(3);
    EXPECT_TRUE(playing(3));
    EXPECT_EQ(cueAt(3).audioTitle, "C");
}

TEST_F(LibraryTest, EveryMenuItemPostsItsNameAndReachesItsHandler) {
    openFive();
    std::vector<std::string> heard;
    // The default center never forgets an observer, so this one must not outlive `heard`.
    auto alive = std::make_shared<std::vector<std::string>*>(&heard);
    for (const char* name :
         {"closeWindow", "volumeUp", "volumeDown", "moveAudioUp", "moveAudioDown", "saveCX",
          "addTrack", "removeTrack", "duplicateTrack", "duplicateTrackWithoutOptions", "editAudio",
          "resetCX", "newShow", "openShow", "saveShowAs"})
        NotificationCenter::defaultCenter().addObserver(name, [weak = std::weak_ptr(alive), name] {
            if (auto h = weak.lock()) (*h)->push_back(name);
        });

    AppDelegate delegate;
    delegate.connectMenu(*window_);
    auto trigger = [&](const char* item) {
        heard.clear();
        QAction* action = window_->findChild<QAction*>(item);
        if (action) action->trigger();
        return action ? heard : std::vector<std::string>{"no item"};
    };
    // Before launching has finished the commands go to a center nobody listens to.
    select(0);
    EXPECT_TRUE(trigger("actionVolumeDown").empty());
    EXPECT_EQ(cueAt(0).volumeLevel, 1.0f);

    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(&delegate.nc(), &NotificationCenter::defaultCenter());
    using L = std::vector<std::string>;

    EXPECT_EQ(trigger("actionVolumeDown"), L{"volumeDown"});
    EXPECT_EQ(cueAt(0).volumeLevel, 1.0f - 0.1f);
    EXPECT_EQ(trigger("actionVolumeUp"), L{"volumeUp"});
    EXPECT_EQ(cueAt(0).volumeLevel, 1.0f);
    EXPECT_EQ(trigger("actionMoveDown"), L{"moveAudioDown"});
    EXPECT_EQ(titles(), v({"B", "A", "C", "D", "E"}));
    EXPECT_EQ(trigger("actionMoveUp"), L{"moveAudioUp"});
    EXPECT_EQ(titles(), v({"A", "B", "C", "D", "E"}));
    EXPECT_EQ(trigger("actionDuplicateTrack"), L{"duplicateTrack"});
    EXPECT_EQ(titles().back(), "A");
    EXPECT_EQ(trigger("actionDuplicateWithoutOptions"), L{"duplicateTrackWithoutOptions"});
    EXPECT_EQ(titles().back(), "tone");
    EXPECT_EQ(trigger("actionRemoveTrack"), L{"removeTrack"});
    EXPECT_EQ(vc().cxList.size(), 6u);
    EXPECT_EQ(trigger("actionEditAudio"), L{"editAudio"});
    EXPECT_NE(vc().presentedViewController(), nullptr);

    // Save and close both write what changed behind the file's back.
    cueAt(0).audioTitle = "Saved";
    EXPECT_EQ(trigger("actionSave"), L{"saveCX"});
    EXPECT_EQ(listJSON()[0]["audioTitle"], "Saved");
    cueAt(0).audioTitle = "Closed";
    EXPECT_EQ(trigger("actionCloseWindow"), L{"closeWindow"});
    EXPECT_EQ(vc().presentedViewController(), nullptr) << "the editor is dismissed";
    EXPECT_EQ(listJSON()[0]["audioTitle"], "Closed");
    EXPECT_EQ(table().viewAtColumn(2, 0)->cxAudioTitle()->text(), "Closed") << "reloaded";

    int chooserCalls = 0;
    vc().setFileChooser([&](QWidget*) {
        ++chooserCalls;
        return QStringList{};
    });
    EXPECT_EQ(trigger("actionAddTrack"), L{"addTrack"});
    EXPECT_EQ(chooserCalls, 1);
    QStringList captions;
    vc().setFolderChooser([&](QWidget*, const QString& caption, bool) {
        captions << caption;
        return QString();
    });
    EXPECT_EQ(trigger("actionNewShow"), L{"newShow"});
    EXPECT_EQ(trigger("actionOpenShow"), L{"openShow"});
    EXPECT_EQ(trigger("actionSaveShowAs"), L{"saveShowAs"});
    EXPECT_EQ(captions.size(), 3);

    // Reset comes from the settings view, straight to the default center.
    window_->findChild<QAction*>("actionSettings")->trigger();
    SettingsViewController* settings = delegate.showSettings(window_.get());
    ASSERT_NE(settings, nullptr);
    EXPECT_TRUE(settings->isVisible());
    heard.clear();
    settings->setConfirmer([](QWidget*, const Confirmation&) { return true; });
    settings->findChild<QPushButton*>("resetButton")->click();
    EXPECT_EQ(heard, L{"resetCX"});
    EXPECT_TRUE(vc().cxList.empty());
}

// Shows are folders: one made by hand opens from its path, stops what played, forgets the old
// steps and is listed under Open Recent; Save Show As copies the list as it is and only the
// audio it names, then goes on in the copy; a moved show opens the same from its new place.
TEST_F(LibraryTest, ShowFoldersOpenSaveAsAndMove) {
    // Long enough to sound through a refused open, which waits for the other run's answer.
    const std::string f = audioFile("long.wav", 20.0);
    writeList({cue(f), cue(f), cue(f), cue(f), cue(f)});
    open();
    const std::string shows = home_.path() + "/Shows", hamlet = shows + "/Hamlet";
    fs::create_directories(hamlet + "/audio");
    for (const char* name : {"x1.wav", "x2.wav", "unused.wav"})
        testfiles::writeToneWav(hamlet + "/audio/" + name, 48000, 1.0, 440.0, 0.1f);
    testfiles::writeAll(
        hamlet + "/cuevox.json",
        nlohmann::json({cue("x1.wav"), cue("x2.wav", {{"volumeLevel", 0.5}})}).dump(1));
    select(1);
    vc().removeAudio();
    ASSERT_TRUE(vc().history().stack().canUndo());
    click(0);
    const std::shared_ptr<CXAudio> sounding = vc().cxList[0];
    ASSERT_TRUE(sounding->player->isPlaying());
    const std::string documentsList = listText();
    // The guard moves with the show; one another run holds keeps the show in use.
    auto held = std::make_unique<SingleInstance>(QString::fromStdString(storage::listFilePath()));
    ASSERT_EQ(held->claim(), SingleInstance::Claim::Held);
    ShowLock lock(std::move(held));
    vc().setShowGuard([&](const QString& list, QString* why) { return lock.move(list, why); });
    SingleInstance elsewhere(QString::fromStdString(shows + "/Othello/cuevox.json"));
    ASSERT_EQ(elsewhere.claim(), SingleInstance::Claim::Held);
    vc().openShow(QString::fromStdString(shows + "/Othello"));
    EXPECT_EQ(vc().cxList.size(), 4u);
    EXPECT_TRUE(sounding->player->isPlaying());

    vc().openShow(QString::fromStdString(hamlet + "/cuevox.json"));
    EXPECT_EQ(fileNames(), v({"x1.wav", "x2.wav"}));
    EXPECT_EQ(cueAt(1).volumeLevel, 0.5f);
    EXPECT_FALSE(sounding->player->isPlaying());
    EXPECT_FALSE(vc().history().stack().canUndo());
    EXPECT_EQ(window_->windowTitle(), "Hamlet — Cuevox");
    EXPECT_EQ(recentshows::list().value(0), QString::fromStdString(hamlet));
    EXPECT_EQ(testfiles::readAll(documents_ + "/cuevox.json"), documentsList);
    EXPECT_TRUE(fs::exists(hamlet + "/.cuevox.json.lock"));
    EXPECT_FALSE(fs::exists(documents_ + "/.cuevox.json.lock"));
    click(1);
    EXPECT_TRUE(playing(1));

    // Refused: a folder holding other files, and one inside the show itself.
    fs::create_directories(shows + "/busy");
    testfiles::writeAll(shows + "/busy/notes.txt", "mine");
    EXPECT_FALSE(vc().saveShowAs(QString::fromStdString(shows + "/busy")));
    EXPECT_FALSE(vc().saveShowAs(QString::fromStdString(hamlet + "/audio/copy")));
    EXPECT_FALSE(fs::exists(hamlet + "/audio/copy"));

    const std::string copy = shows + "/Hamlet2";
    ASSERT_TRUE(vc().saveShowAs(QString::fromStdString(copy)));
    EXPECT_EQ(testfiles::readAll(copy + "/cuevox.json"),
              testfiles::readAll(hamlet + "/cuevox.json"));
    std::set<std::string> copied;
    for (const auto& entry : fs::directory_iterator(copy + "/audio"))
        copied.insert(entry.path().filename().string());
    EXPECT_EQ(copied, (std::set<std::string>{"x1.wav", "x2.wav"}));
    EXPECT_EQ(storage::showFolder(), copy);
    EXPECT_EQ(fileNames(), v({"x1.wav", "x2.wav"}));

    // Moved while another show is open: Open Recent says it is gone and forgets it; from its
    // new place it opens the same, and show mode's title still names it.
    vc().openShow(QString::fromStdString(documents_));
    EXPECT_EQ(window_->windowTitle(), "Cuevox");
    fs::rename(hamlet, shows + "/Moved");
    vc().openRecentShow(QString::fromStdString(hamlet));
    EXPECT_TRUE(MessageLog::instance().entries().last().text.contains("no longer there"));
    EXPECT_FALSE(recentshows::list().contains(QString::fromStdString(hamlet)));
    vc().openShow(QString::fromStdString(shows + "/Moved"));
    EXPECT_EQ(fileNames(), v({"x1.wav", "x2.wav"}));
    vc().setShowMode(true);
    EXPECT_EQ(window_->windowTitle(), "Moved — Cuevox — Show Mode");
}

TEST_F(LibraryTest, ResetEmptiesListFolderAndFileThenImportStartsAfresh) {
    const std::string f = audioFile("tone.wav", 1.0);
    writeList({cue(f), cue(f), cue(f)});
    open();
    select(1);
    click(0);

    NotificationCenter::defaultCenter().post("resetCX");
    EXPECT_TRUE(vc().cxList.empty());
    EXPECT_EQ(table().numberOfRows(), 0);
    EXPECT_EQ(table().selectedRow(), -1);
    EXPECT_EQ(listText(), "[]");
    EXPECT_TRUE(trashed("tone.wav") && fs::exists(audioDir())) << "reset deletes no audio";

    // Already empty with "[]" on disk: the file is left alone.
    const auto written = writes();
    const auto mtime = fs::last_write_time(documents_ + "/cuevox.json");
    vc().resetCX();
    EXPECT_EQ(writes(), written);
    EXPECT_EQ(fs::last_write_time(documents_ + "/cuevox.json"), mtime);

    choose({source("again.wav")});
    vc().addAudio();
    ASSERT_EQ(vc().cxList.size(), 1u);
    EXPECT_EQ(cueAt(0).fileName, "again.wav");
    EXPECT_EQ(indexText(0), "1");
    EXPECT_TRUE(fs::exists(stored("again.wav")));
    EXPECT_EQ(listJSON().size(), 1u);
}

// --- a show as one archive, and audio gone missing ------------------------------------------

// Each file's name and a hash of its bytes: a mismatch prints short.
using Files = std::map<std::string, size_t>;

Files zipEntries(const std::string& path) {
    std::map<std::string, std::string> entries;
    struct archive* a = archive_read_new();
    archive_read_support_format_zip(a);
    archive_entry* entry = nullptr;
    if (archive_read_open_filename(a, path.c_str(), 1 << 16) == ARCHIVE_OK)
        while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
            std::string& data = entries[archive_entry_pathname(entry)];
            char buffer[4096];
            for (la_ssize_t n; (n = archive_read_data(a, buffer, sizeof buffer)) > 0;)
                data.append(buffer, size_t(n));
        }
    archive_read_free(a);
    Files hashed;
    for (const auto& [name, data] : entries) hashed[name] = std::hash<std::string>()(data);
    return hashed;
}

size_t hashOf(const std::string& path) {
    return std::hash<std::string>()(testfiles::readAll(path));
}

void writeZip(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& files) {
    struct archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    archive_write_open_filename(a, path.c_str());
    for (const auto& [name, data] : files) {
        archive_entry* entry = archive_entry_new();
        // "@name": a link to the data's path.
        const bool link = name[0] == '@';
        archive_entry_set_pathname(entry, name.c_str() + (link ? 1 : 0));
        archive_entry_set_filetype(entry, link ? AE_IFLNK : AE_IFREG);
        if (link) archive_entry_set_symlink(entry, data.c_str());
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, la_int64_t(data.size()));
        archive_write_header(a, entry);
        if (!link) archive_write_data(a, data.data(), data.size());
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
}

TEST_F(LibraryTest, AShowTravelsAsOneArchiveAndOneLeadingOutIsRefusedWhole) {
    writeList({cue(audioFile("a.wav", 0.5)), cue(audioFile("b c.wav", 0.7)),
               cue("a.wav", {{"audioTitle", "again"}})});
    audioFile("unused.wav", 0.3);
    open();
    select(1);
    vc().volDownMenuButton();  // a change still on its way to the disk goes in too
    AppDelegate delegate;
    delegate.connectMenu(*window_);
    delegate.applicationDidFinishLaunching();
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    const std::string dir = sources_.path().toStdString();
    QSignalSpy finished(&vc(), &ViewController::transferFinished);
    vc().exportShowTo(QString::fromStdString(dir + "/show.zip"));
    // The show goes on meanwhile: Go still starts the selected cue.
    ASSERT_TRUE(vc().transferring());
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus ? focus : window_.get(), Qt::Key_Space);
    EXPECT_TRUE(playing(1));
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_TRUE(finished.takeFirst()[0].toBool())
        << MessageLog::instance().entries().last().text.toStdString();
    const std::string list = savedList();
    EXPECT_EQ(listJSON()[1]["volumeLevel"], 0.9);
    const Files shown = {{"cuevox.json", std::hash<std::string>()(list)},
                         {"audio/a.wav", hashOf(stored("a.wav"))},
                         {"audio/b c.wav", hashOf(stored("b c.wav"))}};
    EXPECT_EQ(zipEntries(dir + "/show.zip"), shown);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1)
        << "no staged file left beside it";

    // Into a folder the import makes: the same bytes, and the signal that opens it.
    QSignalSpy ready(&vc(), &ViewController::importedShowReady);
    const std::string into = dir + "/shows/received";
    vc().importShowInto(QString::fromStdString(dir + "/show.zip"), QString::fromStdString(into));
    ASSERT_TRUE(finished.wait(10000));
    ASSERT_EQ(ready.size(), 1);
    EXPECT_EQ(ready[0][0].toString().toStdString(), into);
    Files unpacked;
    for (const auto& f : fs::recursive_directory_iterator(into))
        if (f.is_regular_file()) unpacked[fs::relative(f.path(), into).string()] = hashOf(f.path());
    EXPECT_EQ(unpacked, shown);
    // Then it is the show in use.
    EXPECT_TRUE(waitFor([&] { return storage::showFolder() == into; }, 5000));
    EXPECT_EQ(vc().cxList.size(), listJSON().size());

    // One entry leading out refuses the whole archive: nothing is written anywhere, a folder
    // it would have made is not there, an empty one stays empty. The message names the entry.
    const std::pair<std::string, std::string> top = {"cuevox.json", "[]"}, x = {"audio/x.wav", "x"};
    const std::vector<std::pair<std::vector<std::pair<std::string, std::string>>, std::string>>
        bad = {{{top, x, {"../x", "evil"}}, "“../x”"},
               {{x, {"/cuevox.json", "[]"}}, "“/cuevox.json”"},
               {{top, {"@audio/l.wav", "/etc/passwd"}}, "“audio/l.wav” is a link"},
               {{top, {"audio/sub/y.wav", "y"}}, "“audio/sub/y.wav”"},
               {{x}, "no cuevox.json"}};
    fs::create_directory(dir + "/empty");
    for (const auto& [entries, named] : bad) {
        writeZip(dir + "/bad.zip", entries);
        for (const std::string target : {dir + "/new/show", dir + "/empty"}) {
            vc().importShowInto(QString::fromStdString(dir + "/bad.zip"),
                                QString::fromStdString(target));
            ASSERT_TRUE(finished.wait(10000));
            EXPECT_FALSE(finished.takeLast()[0].toBool());
            const QString message = MessageLog::instance().entries().last().text;
            EXPECT_TRUE(message.contains(QString::fromStdString(named))) << message.toStdString();
        }
    }
    EXPECT_FALSE(fs::exists(dir + "/new") || fs::exists(dir + "/x") ||
                 fs::exists(dir + "/shows/x"));
    EXPECT_TRUE(fs::is_empty(dir + "/empty"));
    EXPECT_EQ(ready.size(), 1);
}

// The audio folder emptied (a show copied without it): every cue stays, saved as it was, Go on
// one says why it is silent, and a folder holding the files brings them back, the right
// length only.
TEST_F(LibraryTest, MissingAudioStaysInTheListAndIsFoundAgainByNameAndLength) {
    const std::vector<nlohmann::json> cues = {
        cue(audioFile("a.wav", 0.5), {{"endTime", 0.5}, {"outputs", {3, 4}}, {"cueNumber", "1"}}),
        cue(audioFile("b.wav", 0.8), {{"cueNumber", "2"}}),  // no end: found by its name alone
        cue(audioFile("c.wav", 0.6),
            {{"endTime", 0.6}, {"audioTitle", "Rain"}, {"cueNumber", "3"}})};
    std::string original = "[";
    for (const auto& c : cues) original += (original.size() > 1 ? "," : "") + c.dump(2);
    original += "]";
    testfiles::writeAll(documents_ + "/cuevox.json", original);
    const std::string found = sources_.path().toStdString() + "/found";
    fs::create_directories(found + "/deep/er");
    fs::create_directories(found + "/decoy");
    fs::rename(stored("a.wav"), found + "/deep/er/a.wav");
    fs::rename(stored("b.wav"), found + "/b.wav");
    fs::remove(stored("c.wav"));
    testfiles::writeToneWav(found + "/decoy/a.wav", 48000, 1.0, 440.0, 0.1f);
    testfiles::writeToneWav(found + "/c.wav", 48000, 0.9, 440.0, 0.1f);

    open();
    ASSERT_EQ(vc().cxList.size(), 3u);
    for (int row = 0; row < 3; ++row) EXPECT_TRUE(cueAt(row).missing()) << row;
    ASSERT_TRUE(waitFor([&] { return vc().missingAudioWindow(); }, 2000));
    EXPECT_EQ(vc().missingAudioWindow()->list()->topLevelItemCount(), 3);
    EXPECT_TRUE(playButton(2)->toolTip().contains("“c.wav” is missing"));
    select(2);
    vc().goMenuButton();
    EXPECT_TRUE(MessageLog::instance().entries().last().text.contains("Cue 3 “Rain” cannot play"));
    vc().openAudioEditor(0);
    EXPECT_EQ(vc().presentedViewController(), nullptr) << "it would cut the end to nothing";
    fs::remove(documents_ + "/cuevox.json");
    vc().saveList();
    EXPECT_EQ(savedList(), original);

    vc().findMissingIn(QString::fromStdString(found));
    ASSERT_TRUE(waitFor([&] { return !vc().searchingMissing() && !vc().opening(); }, 10000));
    EXPECT_FALSE(cueAt(0).missing());
    EXPECT_FALSE(cueAt(1).missing());
    EXPECT_TRUE(cueAt(2).missing()) << "the file of its name is 0.3 s longer";
    EXPECT_EQ(testfiles::readAll(stored("a.wav")), testfiles::readAll(found + "/deep/er/a.wav"));
    EXPECT_NEAR(cueAt(1).endTime, 0.8, 0.01);
    EXPECT_EQ(vc().missingAudioWindow()->list()->topLevelItemCount(), 1);
    EXPECT_TRUE(playButton(0)->toolTip().isEmpty()) << "the row shows its cue found";
    EXPECT_EQ(listJSON()[1]["endTime"], cueAt(1).endTime);
    EXPECT_EQ(listJSON()[2].dump(2), cues[2].dump(2));
    click(0);
    EXPECT_TRUE(playing(0));
}

}  // namespace
