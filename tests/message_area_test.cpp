// What goes wrong reaches the window: the message area shows each problem with its time, keeps
// the last ones in a list, and keeps a warning up for as long as saves fail.
#include <sys/stat.h>

#include <QLabel>
#include <QListWidget>
#include <QToolButton>

#include "WindowFixture.h"
#include "app/OutputSettings.h"
#include "audio/AudioEngine.h"
#include "platform/MessageLog.h"
#include "storage/StoragePaths.h"
#include "support/Unprivileged.h"
#include "window/MessageArea.h"

namespace {

class MessageAreaTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        // A machine without sound says so once, when the engine starts: before the test.
        AudioEngine::shared();
        MessageLog::instance().clear();
    }
    MessageArea& area() { return *window_->messageArea(); }
    QString latest() { return area().latestLabel()->text(); }
    QString warning() {
        return area().warningLabel()->isVisibleTo(window_.get()) ? area().warningLabel()->text()
                                                                 : QString();
    }
    QStringList listed() {
        QStringList lines;
        for (int i = 0; i < area().list()->count(); ++i) lines += area().list()->item(i)->text();
        return lines;
    }
    // Messages from other threads arrive queued.
    bool shown(const QString& part) {
        return waitFor([&] { return listed().join('\n').contains(part); }, 2000);
    }
    std::string listPath() { return documents_ + "/cuevox.json"; }
};

TEST_F(MessageAreaTest, CuesDroppedAtLoadAreNamedAndTheBackupIsShownWithItsPath) {
    writeList({cue(audioFile("a.wav", 1.0)), cue("gone.wav", {{"audioTitle", "Thunder"}}),
               cue(audioFile("c.wav", 1.0))});
    testfiles::writeAll(documents_ + "/audio/noise.wav", "not audio at all");
    nlohmann::json list = nlohmann::json::parse(testfiles::readAll(listPath()));
    list.push_back(cue("noise.wav", {{"audioTitle", "Noise"}}));
    testfiles::writeAll(listPath(), list.dump(2));
    open();
    // A missing file keeps its cue; only the file that cannot be played loses it.
    ASSERT_EQ(vc().cxList.size(), 3u);
    EXPECT_TRUE(latest().contains("1 of 4 cues could not be loaded")) << latest().toStdString();
    EXPECT_TRUE(latest().contains("cue 4 “Noise” (noise.wav cannot be played)"));
    EXPECT_TRUE(listed().join('\n').contains("1 of 4 cues have no audio file"));
    // With its time, as in the list.
    EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d  ").match(latest()).hasMatch());

    // The first save keeps the list as it was before replacing it.
    table().selectRowIndexes({0}, false);
    vc().volUpMenuButton();
    ASSERT_TRUE(shown(QString::fromStdString("kept as " + listPath() + ".")));
    EXPECT_TRUE(latest().contains(QString::fromStdString(storage::backupFilePath())));
    EXPECT_EQ(listed().size(), 3);
    EXPECT_TRUE(listed().first().contains("kept as")) << "newest first";

    // The list opens from the status bar and takes no keyboard from the show.
    EXPECT_FALSE(area().list()->isVisible());
    area().listButton()->click();
    EXPECT_TRUE(area().list()->isVisible());
    EXPECT_EQ(area().list()->focusPolicy(), Qt::NoFocus);
}

TEST_F(MessageAreaTest, AFailedImportNamesTheFileAndWhy) {
    writeList({cue(audioFile("a.wav", 1.0))});
    open();
    const QString good = QString::fromStdString(home_.path() + "/good.wav");
    const QString bad = QString::fromStdString(home_.path() + "/bad.wav");
    testfiles::writeToneWav(good.toStdString(), 48000, 0.5, 440.0, 0.1f);
    testfiles::writeAll(bad.toStdString(), "RIFF but nothing after it");
    vc().setFileChooser([&](QWidget*) { return QStringList{good, bad, good, good}; });
    vc().addAudio();
    ASSERT_TRUE(shown("Import of “" + bad + "” failed: it is not audio that Cuevox can play ("));
    EXPECT_TRUE(listed().first().contains("The 2 files after it were not imported."));

    // A file that cannot be read at all: the copy says why.
    vc().setFileChooser([&](QWidget*) {
        return QStringList{QString::fromStdString(home_.path() + "/missing.wav")};
    });
    vc().addAudio();
    EXPECT_TRUE(shown("it could not be copied into the audio folder (")) << latest().toStdString();
}

TEST_F(MessageAreaTest, AnUnreadableListFileKeepsAWarningUpUntilASaveSucceeds) {
    writeList({cue(audioFile("a.wav", 1.0), {{"audioTitle", "Kept"}})});
    const std::string before = testfiles::readAll(listPath());
    Unprivileged user(home_.path());
    if (!user.active()) GTEST_SKIP() << "cannot take an ordinary user's identity";
    ASSERT_EQ(::chmod(listPath().c_str(), 0), 0);
    open();
    EXPECT_TRUE(vc().cxList.empty());
    EXPECT_TRUE(shown("could not be read (")) << latest().toStdString();
    EXPECT_TRUE(warning().isEmpty()) << "nothing has failed to save yet";

    // Every change fails to save while the file cannot be read, and the warning says so.
    const QString wav = QString::fromStdString(documents_ + "/audio/a.wav");
    vc().setFileChooser([&](QWidget*) { return QStringList{wav}; });
    vc().addAudio();
    ASSERT_EQ(vc().cxList.size(), 1u);
    ASSERT_TRUE(waitFor([&] { return !warning().isEmpty(); }, 2000));
    EXPECT_TRUE(warning().startsWith("Changes are not being saved: the list file "))
        << warning().toStdString();
    EXPECT_TRUE(warning().contains("cannot be read"));
    table().selectRowIndexes({0}, false);
    vc().volDownMenuButton();
    QTest::qWait(50);
    EXPECT_FALSE(warning().isEmpty());
    EXPECT_EQ(listed().filter("Changes are not being saved").size(), 1) << "logged once";

    // Once the file can be read, the next save backs it up, writes, and takes the warning down.
    ASSERT_EQ(::chmod(listPath().c_str(), 0644), 0);
    vc().saveMenuButton();
    EXPECT_TRUE(waitFor([&] { return warning().isEmpty(); }, 2000));
    EXPECT_TRUE(shown("Changes are being saved again."));
    EXPECT_EQ(testfiles::readAll(storage::backupFilePath()), before);
    EXPECT_EQ(nlohmann::json::parse(testfiles::readAll(listPath())).size(), 1u);
}

TEST_F(MessageAreaTest, AResetWhoseAudioCannotGoToTheTrashKeepsItAndSaysSo) {
    writeList({cue(audioFile("a.wav", 1.0)), cue(audioFile("b.wav", 1.0))});
    Unprivileged user(home_.path());
    if (!user.active()) GTEST_SKIP() << "cannot take an ordinary user's identity";
    open();
    ASSERT_EQ(vc().cxList.size(), 2u);
    const std::string audio = documents_ + "/audio";
    ASSERT_EQ(::chmod(audio.c_str(), 0555), 0);
    vc().resetCX();
    EXPECT_TRUE(vc().cxList.empty());
    EXPECT_TRUE(shown("Stored audio no cue uses was kept: ")) << latest().toStdString();
    EXPECT_TRUE(std::filesystem::exists(audio + "/a.wav"));
    ASSERT_EQ(::chmod(audio.c_str(), 0755), 0);
    EXPECT_EQ(savedList(), "[]");
}

TEST_F(MessageAreaTest, TheSoundOutputLostAndBackIsShown) {
    open();
    // Told from the output's own thread, as the engine does.
    std::thread([] {
        OutputSettings::showNotice({OutputNotice::Kind::Lost, "Audio output lost"});
    }).join();
    ASSERT_TRUE(shown("The sound output was lost"));
    EXPECT_TRUE(waitFor([&] { return warning() == "No sound output"; }, 2000));
    std::thread([] {
        OutputSettings::showNotice({OutputNotice::Kind::Back, "Audio output back"});
    }).join();
    EXPECT_TRUE(shown("The sound output is back."));
    EXPECT_TRUE(waitFor([&] { return warning().isEmpty(); }, 2000));
}

}  // namespace
