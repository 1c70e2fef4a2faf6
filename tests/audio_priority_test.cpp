#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>

#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/AudioPlayer.h"
#include "audio/DecoderPool.h"
#include "audio/output/RealtimeKit.h"
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

// Real-time, by either policy: RealtimeKit hands out round-robin.
bool allRealTime(const std::vector<ThreadScheduling>& threads, int priority) {
    if (threads.empty()) return false;
    for (const auto& t : threads)
        if ((t.policy != SCHED_FIFO && t.policy != SCHED_RR) || t.priority != priority)
            return false;
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

// A 30 s tone in a scratch folder: a cue that plays through any test.
struct LongTone {
    LongTone() { testfiles::writeToneWav(path, 48000, 30.0, 440.0, 0.5f); }
    QTemporaryDir dir;
    const std::string path = dir.filePath("tone.wav").toStdString();
};

// Whether the scheduler grants real-time priority to a thread of this process right now.
bool schedulerAllows() {
    bool granted = false;
    std::thread([&granted] { granted = askForRealtimePriority(); }).join();
    return granted;
}

// Whether RealtimeKit on the system bus grants it to a thread of this process.
bool realtimeKitAllows(std::string* why = nullptr) {
    bool granted = false;
    std::thread([&granted, why] {
        granted = realtimekit::makeRealtime(currentThreadId(), kAudioPriority, why);
    }).join();
    return granted;
}

// A cue playing on the silent clock: the clock keeps the time real-time. The decoders work at
// normal priority while the cue's buffer is full, and at a real-time priority below the clock
// only for a voice that starts or would soon run dry, here after a seek far ahead: a decoder
// filling its whole buffer real-time would hold up a sound server that isn't real-time itself.
TEST(AudioPriorityTest, TheClockRunsRealTimeAndTheDecodersOnlyForAVoiceRunningLow) {
    const LongTone tone;
    AudioEngine engine(AudioEngine::Mode::SilentClock);
    auto player = AudioPlayer::initWithContentsOfURL(tone.path, nullptr, &engine);
    player->play();
    const bool allowed = schedulerAllows();
    if (allowed)
        EXPECT_TRUE(eventually(
            [] { return allAre(threadsNamed("cuevox-clock"), SCHED_FIFO, kAudioPriority); }));
    // Started, and a second decoded ahead.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const uint64_t started = engine.decoders().urgentVisits();
    EXPECT_GT(started, 0u) << "the start was not served urgently";
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(engine.decoders().urgentVisits(), started) << "a full buffer was served urgently";
    if (allowed) EXPECT_TRUE(allAre(threadsNamed("cuevox-decode"), SCHED_OTHER, 0));
    player->setCurrentTime(20.0);
    EXPECT_TRUE(eventually([&] { return engine.decoders().urgentVisits() > started; }));
    EXPECT_TRUE(player->isPlaying());
    player->stop();
    if (allowed)
        EXPECT_TRUE(
            eventually([] { return allAre(threadsNamed("cuevox-decode"), SCHED_OTHER, 0); }));
}

// Where the scheduler refuses but RealtimeKit runs (a desktop user), the audio threads get
// their priority from it, under the CPU-time limit it requires; a thread that then runs past
// the limit without sleeping (a device that never blocks) is put back to normal scheduling,
// where the kernel's default would end the program. Skipped without such a service.
TEST(AudioPriorityTest, WhereTheSchedulerRefusesRealtimeKitGivesItAndAnOverrunOnlyDemotes) {
    if (schedulerAllows()) GTEST_SKIP() << "the scheduler gives real-time priority itself";
    std::string why;
    if (!realtimeKitAllows(&why)) GTEST_SKIP() << "no RealtimeKit on the system bus: " << why;

    const LongTone tone;
    {
        AudioEngine engine(AudioEngine::Mode::SilentClock);
        auto player = AudioPlayer::initWithContentsOfURL(tone.path, nullptr, &engine);
        player->play();
        EXPECT_TRUE(
            eventually([] { return allRealTime(threadsNamed("cuevox-clock"), kAudioPriority); }));
        EXPECT_TRUE(eventually([&] { return player->currentTime() > 0.5; }));
    }
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_RTTIME, &limit), 0);
    EXPECT_LE(limit.rlim_max, rlim_t(200000));
    EXPECT_LT(limit.rlim_cur, limit.rlim_max);

    int policyAfter = -1;
    std::thread([&policyAfter, &limit] {
        ASSERT_TRUE(realtimekit::makeRealtime(currentThreadId(), kAudioPriority));
        // Twice the hard limit of CPU time without ever sleeping.
        timespec start{}, now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
        do {
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        } while ((now.tv_sec - start.tv_sec) * 1000000 + (now.tv_nsec - start.tv_nsec) / 1000 <
                 2 * int64_t(limit.rlim_max));
        policyAfter = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    }).join();
    EXPECT_EQ(policyAfter, SCHED_OTHER);  // and the process is still here to say so
}

// Without the right to it and no RealtimeKit to ask, the show goes on at normal priority,
// and nothing is said about it.
TEST(AudioPriorityTest, WithoutTheRightTimeGoesOnAtNormalPriorityAndNothingIsSaid) {
    const LongTone tone;
    Unprivileged nobody(tone.dir.path().toStdString());
    if (!nobody.active()) GTEST_SKIP() << "cannot drop privileges";
    if (schedulerAllows()) GTEST_SKIP() << "the scheduler gives this user real-time priority";
    if (realtimeKitAllows()) GTEST_SKIP() << "RealtimeKit gives this user real-time priority";

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        AudioEngine engine(AudioEngine::Mode::SilentClock);
        auto player = AudioPlayer::initWithContentsOfURL(tone.path, nullptr, &engine);
        player->play();
        EXPECT_TRUE(eventually([&] { return player->currentTime() > 0.5; }));
        EXPECT_TRUE(allAre(threadsNamed("cuevox-clock"), SCHED_OTHER, 0));
        EXPECT_TRUE(allAre(threadsNamed("cuevox-decode"), SCHED_OTHER, 0));
        player->stop();
    }
    const std::string said =
        testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "");
}

// Under JACK the PortAudio callback runs on JACK's own real-time thread: it keeps its priority.
TEST(AudioPriorityTest, AThreadAlreadyRealTimeHigherKeepsItsPriority) {
    if (!schedulerAllows()) GTEST_SKIP() << "the scheduler gives no real-time priority here";
    std::thread([] {
        const sched_param higher{kAudioPriority + 10};
        ASSERT_EQ(sched_setscheduler(0, SCHED_FIFO, &higher), 0);
        EXPECT_TRUE(askForRealtimePriority());
        sched_param now{};
        ASSERT_EQ(sched_getparam(0, &now), 0);
        EXPECT_EQ(now.sched_priority, kAudioPriority + 10);
    }).join();
}

}  // namespace
