#include <gtest/gtest.h>
#include <sched.h>

#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"
#include "audio/output/RealtimePriority.h"
#include "support/TestFiles.h"
#include "support/Unprivileged.h"

namespace {

struct ThreadScheduling {
    int policy;
    int priority;
};

// How this process's threads named `name` are scheduled.
std::vector<ThreadScheduling> threadsNamed(const std::string& name) {
    std::vector<ThreadScheduling> found;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::string comm = testfiles::readAll(task.path().string() + "/comm");
        while (!comm.empty() && comm.back() == '\n') comm.pop_back();
        if (comm != name) continue;
        const pid_t tid = pid_t(std::stoi(task.path().filename().string()));
        sched_param param{};
        const int policy = sched_getscheduler(tid);
        if (policy < 0 || sched_getparam(tid, &param) != 0) continue;
        found.push_back({policy & ~SCHED_RESET_ON_FORK, param.sched_priority});
    }
    return found;
}

bool allAre(const std::vector<ThreadScheduling>& threads, int policy, int priority) {
    if (threads.empty()) return false;
    for (const auto& t : threads)
        if (t.policy != policy || t.priority != priority) return false;
    return true;
}

bool anyIs(const std::vector<ThreadScheduling>& threads, int policy, int priority) {
    for (const auto& t : threads)
        if (t.policy == policy && t.priority == priority) return true;
    return false;
}

bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 200 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return done();
}

// Whether the scheduler grants real-time priority to a thread of this process right now.
bool schedulerAllows() {
    bool granted = false;
    std::thread([&granted] { granted = askForRealtimePriority(); }).join();
    return granted;
}

// A cue playing on the silent clock: the clock keeps the time real-time, and the decoders
// serve the playing voice at a real-time priority below it, and drop back once it stops (the
// start points of stopped cues, thousands at a load, must not take the CPU from the window).
TEST(AudioPriorityTest, TheClockAndTheDecodersOfAPlayingCueRunRealTimeWhereAllowed) {
    if (!schedulerAllows()) GTEST_SKIP() << "the scheduler gives this user no real-time priority";
    QTemporaryDir dir;
    const std::string tone = dir.filePath("tone.wav").toStdString();
    testfiles::writeToneWav(tone, 48000, 30.0, 440.0, 0.5f);
    AudioEngine engine(AudioEngine::Mode::SilentClock);
    auto player = AudioPlayer::initWithContentsOfURL(tone, nullptr, &engine);
    player->play();
    EXPECT_TRUE(eventually(
        [] { return allAre(threadsNamed("cuevox-clock"), SCHED_FIFO, kAudioPriority); }));
    EXPECT_TRUE(eventually(
        [] { return anyIs(threadsNamed("cuevox-decode"), SCHED_FIFO, kDecoderPriority); }));
    player->stop();
    EXPECT_TRUE(eventually([] { return allAre(threadsNamed("cuevox-decode"), SCHED_OTHER, 0); }));
}

// Without the right to it (and no RealtimeKit to ask), the show goes on at normal priority,
// and nothing is said about it.
TEST(AudioPriorityTest, WithoutTheRightTimeGoesOnAtNormalPriorityAndNothingIsSaid) {
    QTemporaryDir dir;
    const std::string tone = dir.filePath("tone.wav").toStdString();
    testfiles::writeToneWav(tone, 48000, 30.0, 440.0, 0.5f);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.filePath("no-bus")).toUtf8(), 1);
    Unprivileged nobody(dir.path().toStdString());
    if (!nobody.active()) GTEST_SKIP() << "cannot drop privileges";
    if (schedulerAllows()) GTEST_SKIP() << "the scheduler gives this user real-time priority";

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        AudioEngine engine(AudioEngine::Mode::SilentClock);
        auto player = AudioPlayer::initWithContentsOfURL(tone, nullptr, &engine);
        player->play();
        EXPECT_TRUE(eventually([&] { return player->currentTime() > 0.5; }));
        EXPECT_TRUE(allAre(threadsNamed("cuevox-clock"), SCHED_OTHER, 0));
        EXPECT_TRUE(allAre(threadsNamed("cuevox-decode"), SCHED_OTHER, 0));
        player->stop();
    }
    const std::string said =
        testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    EXPECT_EQ(said, "");
}

}  // namespace
