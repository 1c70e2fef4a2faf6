// One running program per list: a later start of the real program brings the running window
// forward and ends, also when a run that crashed left its lock behind.
#include <signal.h>

#include <QProcess>

#include "WindowFixture.h"
#include "app/SingleInstance.h"
#include "platform/MessageLog.h"
#include "storage/StoragePaths.h"

namespace {

using SecondStartTest = WindowFixture;

TEST_F(SecondStartTest, ALaterStartBringsTheRunningWindowForwardAndEnds) {
    writeList({cue(audioFile("a.wav", 1.0))});
    // Started on this test's HOME, which they inherit.
    const QString program = QCoreApplication::applicationDirPath() + "/cuevox";
    QProcess crashed;
    crashed.start(program, {});
    SingleInstance running(QString::fromStdString(storage::listFilePath()));
    ASSERT_TRUE(waitFor([&] { return QFile::exists(running.lockPath()); }, 20000));
    ::kill(pid_t(crashed.processId()), SIGKILL);
    crashed.waitForFinished();

    open();
    ASSERT_EQ(running.claim(), SingleInstance::Claim::Held);
    running.setWindow(window_.get());
    QWidget elsewhere;  // where the operator is when the second start comes
    elsewhere.show();
    QApplication::setActiveWindow(&elsewhere);
    QProcess second;
    second.start(program, {});
    ASSERT_TRUE(waitFor([&] { return second.state() == QProcess::NotRunning; }, 20000));
    EXPECT_NE(second.exitCode(), 0);
    EXPECT_TRUE(second.readAllStandardError().contains("window was brought forward"));
    EXPECT_TRUE(waitFor([&] { return QApplication::activeWindow() == window_.get(); }, 2000));
    const auto said = MessageLog::instance().entries();
    EXPECT_TRUE(!said.isEmpty() && said.last().text.contains("started again"));
}

}  // namespace

namespace {

// Each show folder has a guard of its own: a show made by hand opens from its folder or its
// list file, a second start on it is sent to the first, another show runs beside it, and the
// Documents folder is left as it was.
TEST_F(SecondStartTest, EachShowFolderRunsOnceAndBesideOthers) {
    const QString program = QCoreApplication::applicationDirPath() + "/cuevox";
    const std::string shows = home_.path() + "/Shows";
    std::filesystem::create_directories(shows + "/Hamlet/audio");
    testfiles::writeToneWav(shows + "/Hamlet/audio/a.wav", 48000, 1.0, 440.0, 0.1f);
    testfiles::writeAll(shows + "/Hamlet/cuevox.json", nlohmann::json({cue("a.wav")}).dump());
    testfiles::writeAll(shows + "/notes.txt", "not a show");
    auto start = [&](QProcess& process, const std::string& show) {
        process.start(program, {QString::fromStdString(show)});
        return waitFor([&] { return process.state() == QProcess::NotRunning; }, 20000);
    };
    QProcess hamlet, again, other, refused;
    hamlet.start(program, {QString::fromStdString(shows + "/Hamlet")});
    ASSERT_TRUE(waitFor(
        [&] { return QFile::exists(QString::fromStdString(shows + "/Hamlet/.cuevox.json.lock")); },
        20000));
    ASSERT_TRUE(start(again, shows + "/Hamlet/cuevox.json"));
    EXPECT_EQ(again.exitCode(), 3) << again.readAllStandardError().toStdString();
    // A new show in a folder not there yet runs beside the first.
    other.start(program, {QString::fromStdString(shows + "/Othello")});
    EXPECT_TRUE(waitFor(
        [&] { return QFile::exists(QString::fromStdString(shows + "/Othello/.cuevox.json.lock")); },
        20000));
    EXPECT_EQ(other.state(), QProcess::Running);
    ASSERT_TRUE(start(refused, shows + "/notes.txt"));
    EXPECT_EQ(refused.exitCode(), 2);
    EXPECT_TRUE(refused.readAllStandardError().contains("neither a show folder"));
    for (QProcess* running : {&hamlet, &other}) {
        running->terminate();
        running->waitForFinished();
    }
    EXPECT_FALSE(std::filesystem::exists(documents_ + "/cuevox.json"));
    EXPECT_FALSE(std::filesystem::exists(documents_ + "/.cuevox.json.lock"));
}

}  // namespace
