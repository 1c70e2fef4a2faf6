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
