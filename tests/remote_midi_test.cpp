#include <gtest/gtest.h>
#include <rtmidi/RtMidi.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <atomic>
#include <initializer_list>
#include <mutex>
#include <vector>

#include <QLabel>

#include "WindowFixture.h"
#include "remote/MidiInput.h"
#include "remote/MidiMapping.h"
#include "remote/MscParser.h"
#include "remote/RemoteControl.h"
#include "remote/RemoteSettings.h"
#include "window/MessageArea.h"

namespace {

using Kind = RemoteCommand::Kind;

MidiMapping::Result feed(MidiMapping& mapping, std::initializer_list<uint8_t> bytes) {
    const std::vector<uint8_t> message(bytes);
    return mapping.feed(message.data(), message.size());
}

std::vector<Kind> kinds(const MidiMapping::Result& result) {
    std::vector<Kind> out;
    for (const RemoteCommand& c : result.commands) out.push_back(c.kind);
    return out;
}

class MidiPort : public WindowFixture {};

}  // namespace

TEST(MidiMapping, TriggersFireTheirCommandOnlyOnTheirChannelAndOnPress) {
    MidiMapping mapping;
    mapping.setTrigger(Kind::Go, {MidiTrigger::Type::Note, 0, 60});
    mapping.setTrigger(Kind::StopAll, {MidiTrigger::Type::ProgramChange, 9, 5});
    mapping.setTrigger(Kind::Next, {MidiTrigger::Type::ControlChange, 1, 20});

    EXPECT_EQ(kinds(feed(mapping, {0x90, 60, 100})), std::vector{Kind::Go});
    // Same note on another channel, a note off, and a note on with velocity 0 (a note off).
    EXPECT_TRUE(feed(mapping, {0x91, 60, 100}).commands.empty());
    EXPECT_TRUE(feed(mapping, {0x80, 60, 0}).commands.empty());
    EXPECT_TRUE(feed(mapping, {0x90, 60, 0}).commands.empty());

    EXPECT_EQ(kinds(feed(mapping, {0xC9, 5})), std::vector{Kind::StopAll});
    EXPECT_TRUE(feed(mapping, {0xC9, 6}).commands.empty());

    // A controller fires when it crosses the middle upwards: a button's 127 then 0 fires once,
    // a fader moving on above the middle does not fire again.
    EXPECT_EQ(kinds(feed(mapping, {0xB1, 20, 127})), std::vector{Kind::Next});
    EXPECT_TRUE(feed(mapping, {0xB1, 20, 100}).commands.empty());
    EXPECT_TRUE(feed(mapping, {0xB1, 20, 0}).commands.empty());
    EXPECT_TRUE(feed(mapping, {0xB1, 20, 40}).commands.empty());
    EXPECT_EQ(kinds(feed(mapping, {0xB1, 20, 64})), std::vector{Kind::Next});
    // Cut-short messages are nothing.
    EXPECT_TRUE(feed(mapping, {0x90, 60}).commands.empty());
    EXPECT_TRUE(feed(mapping, {0xB1}).commands.empty());
    for (const RemoteCommand& c : feed(mapping, {0x90, 60, 1}).commands)
        EXPECT_EQ(c.source, "MIDI");
}

TEST(MidiMapping, LearnTakesTheNextPressAndMovesAKeyBetweenCommands) {
    MidiMapping mapping;
    mapping.setTrigger(Kind::Go, {MidiTrigger::Type::Note, 0, 60});

    mapping.learn(Kind::StopAll);
    // Neither a note off nor a controller release is a press to learn.
    EXPECT_FALSE(feed(mapping, {0x90, 61, 0}).learned);
    EXPECT_FALSE(feed(mapping, {0xB2, 7, 0}).learned);
    // The press that is learned does not also fire what it was mapped to.
    const MidiMapping::Result learned = feed(mapping, {0x90, 60, 90});
    ASSERT_TRUE(learned.learned);
    EXPECT_EQ(learned.learned->first, Kind::StopAll);
    EXPECT_EQ(learned.learned->second, (MidiTrigger{MidiTrigger::Type::Note, 0, 60}));
    EXPECT_TRUE(learned.commands.empty());
    EXPECT_FALSE(mapping.learning());
    // One key, one command: Go lost it.
    EXPECT_FALSE(mapping.trigger(Kind::Go).valid());
    EXPECT_EQ(kinds(feed(mapping, {0x90, 60, 90})), std::vector{Kind::StopAll});

    mapping.learn(Kind::Previous);
    mapping.cancelLearn();
    EXPECT_FALSE(feed(mapping, {0xCF, 3}).learned);
    EXPECT_FALSE(mapping.trigger(Kind::Previous).valid());
}

TEST(MidiMapping, TriggersAreStoredAsTextAndBadTextGivesNone) {
    for (const MidiTrigger& trigger : {MidiTrigger{MidiTrigger::Type::Note, 0, 0},
                                       MidiTrigger{MidiTrigger::Type::ControlChange, 15, 127},
                                       MidiTrigger{MidiTrigger::Type::ProgramChange, 7, 42}})
        EXPECT_EQ(MidiTrigger::fromKey(trigger.key()), trigger) << trigger.key().toStdString();
    EXPECT_EQ(MidiTrigger{}.key(), "");
    EXPECT_EQ(MidiTrigger::fromKey("note 1 60").text(), "Note 60, channel 1");
    for (const char* bad :
         {"", "note", "note 0 60", "note 17 60", "note 1 128", "cc 1 x", "sysex 1 1"})
        EXPECT_FALSE(MidiTrigger::fromKey(bad).valid()) << bad;
}

TEST(MidiShowControl, ParsesGoStopAndAllOffWithTheirCueNumbers) {
    const std::vector<uint8_t> go = {0xF0, 0x7F, 0x05, 0x02, 0x10, 0x01, 0xF7};
    const auto parsed = parseMsc(go.data(), go.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->deviceId, 5);
    EXPECT_EQ(parsed->commandFormat, 0x10);
    EXPECT_EQ(parsed->command, MscMessage::kGo);
    EXPECT_EQ(parsed->cueNumber, "");

    // GO cue "12", then a cue list after the 00 delimiter.
    const std::vector<uint8_t> goCue = {0xF0, 0x7F, 0x05, 0x02, 0x10, 0x01,
                                        '1',  '2',  0x00, '3',  0xF7};
    EXPECT_EQ(parseMsc(goCue.data(), goCue.size())->cueNumber, "12");
    const std::vector<uint8_t> decimal = {0xF0, 0x7F, 0x05, 0x02, 0x10, 0x01, '3', '.', '5', 0xF7};
    EXPECT_EQ(parseMsc(decimal.data(), decimal.size())->cueNumber, "3.5");

    // Not MSC, or broken: another sub-ID, no end byte, a data byte with its top bit, a cue
    // number with letters, too short.
    const std::vector<std::vector<uint8_t>> bad = {
        {0xF0, 0x7F, 0x05, 0x01, 0x10, 0x01, 0xF7},
        {0xF0, 0x7E, 0x05, 0x02, 0x10, 0x01, 0xF7},
        {0xF0, 0x7F, 0x05, 0x02, 0x10, 0x01},
        {0xF0, 0x7F, 0x05, 0x02, 0x90, 0x01, 0xF7},
        {0xF0, 0x7F, 0x05, 0x02, 0x10, 0x01, 'A', 0xF7},
        {0xF0, 0x7F, 0x05, 0x02, 0xF7},
    };
    for (const auto& bytes : bad) EXPECT_FALSE(parseMsc(bytes.data(), bytes.size()));
}

TEST(MidiShowControl, MappingAnswersItsOwnDeviceAndTheAllCallInSoundFormats) {
    MidiMapping mapping;
    mapping.setMscDeviceId(5);
    EXPECT_EQ(kinds(feed(mapping, {0xF0, 0x7F, 0x05, 0x02, 0x10, 0x01, 0xF7})),
              std::vector{Kind::Go});
    EXPECT_EQ(kinds(feed(mapping, {0xF0, 0x7F, 0x7F, 0x02, 0x7F, 0x01, 0xF7})),
              std::vector{Kind::Go});
    EXPECT_EQ(kinds(feed(mapping, {0xF0, 0x7F, 0x05, 0x02, 0x10, 0x02, 0xF7})),
              std::vector{Kind::PauseAll});
    EXPECT_EQ(kinds(feed(mapping, {0xF0, 0x7F, 0x05, 0x02, 0x10, 0x03, 0xF7})),
              std::vector{Kind::ResumeAll});
    EXPECT_EQ(kinds(feed(mapping, {0xF0, 0x7F, 0x05, 0x02, 0x11, 0x08, 0xF7})),
              std::vector{Kind::Panic});
    // Another device, a group, lighting: for other equipment on the line.
    EXPECT_TRUE(feed(mapping, {0xF0, 0x7F, 0x06, 0x02, 0x10, 0x01, 0xF7}).commands.empty());
    EXPECT_TRUE(feed(mapping, {0xF0, 0x7F, 0x70, 0x02, 0x10, 0x01, 0xF7}).commands.empty());
    EXPECT_TRUE(feed(mapping, {0xF0, 0x7F, 0x05, 0x02, 0x01, 0x01, 0xF7}).commands.empty());

    // A cue number is the cue's own, as sent: GO 3 starts cue "3", STOP 3 stops it.
    const MidiMapping::Result go3 = feed(mapping, {0xF0, 0x7F, 0x05, 0x02, 0x10, 0x01, '3', 0xF7});
    ASSERT_EQ(go3.commands.size(), 1u);
    EXPECT_EQ(go3.commands[0].kind, Kind::Start);
    EXPECT_EQ(go3.commands[0].cue, "3");
    const MidiMapping::Result stop3 =
        feed(mapping, {0xF0, 0x7F, 0x05, 0x02, 0x10, 0x02, '3', 0x00, '1', 0xF7});
    ASSERT_EQ(stop3.commands.size(), 1u);
    EXPECT_EQ(stop3.commands[0].kind, Kind::Stop);
    EXPECT_EQ(stop3.commands[0].cue, "3");
    // What we cannot do is said, not guessed at: no cue number is that long.
    const MidiMapping::Result tooLong =
        feed(mapping, {0xF0, 0x7F, 0x05, 0x02, 0x10, 0x01, '1', '2', '3', '4',
                       '5',  '6',  '7',  '8',  '9',  '0',  '1', '2', '3', 0xF7});
    EXPECT_TRUE(tooLong.commands.empty());
    EXPECT_FALSE(tooLong.problem.isEmpty());
    const MidiMapping::Result timedGo = feed(mapping, {0xF0, 0x7F, 0x05, 0x02, 0x10, 0x04, 0xF7});
    EXPECT_TRUE(timedGo.commands.empty());
    EXPECT_TRUE(timedGo.problem.contains("0x04"));

    // The device ID is a setting.
    mapping.setMscDeviceId(6);
    EXPECT_TRUE(feed(mapping, {0xF0, 0x7F, 0x05, 0x02, 0x10, 0x01, 0xF7}).commands.empty());
    EXPECT_EQ(kinds(feed(mapping, {0xF0, 0x7F, 0x06, 0x02, 0x10, 0x01, 0xF7})),
              std::vector{Kind::Go});
}

// A desk's MSC GO "3.5" fires the cue numbered 3.5 in the real window, wherever its row is; STOP
// "3.5" stops it, and a number no cue has is refused.
TEST_F(MidiPort, ShowControlFiresCuesByTheirNumbers) {
    writeList({cue(audioFile("a.wav", 12.0), {{"cueNumber", "3.5"}}),
               cue(audioFile("b.wav", 12.0), {{"cueNumber", "3"}})});
    open();
    MidiMapping mapping;
    mapping.setMscDeviceId(1);
    auto run = [&](std::initializer_list<uint8_t> bytes) {
        const MidiMapping::Result result = feed(mapping, bytes);
        EXPECT_EQ(result.commands.size(), 1u);
        return result.commands.empty() ? QString("no command")
                                       : applyRemoteCommand(vc(), result.commands[0]);
    };
    EXPECT_EQ(run({0xF0, 0x7F, 0x01, 0x02, 0x10, 0x01, '3', '.', '5', 0xF7}), "");
    EXPECT_TRUE(playing(0));
    EXPECT_FALSE(playing(1));
    EXPECT_EQ(run({0xF0, 0x7F, 0x01, 0x02, 0x10, 0x02, '3', '.', '5', 0xF7}), "");
    EXPECT_TRUE(waitFor([&] { return !playing(0); }, 3000));
    EXPECT_EQ(run({0xF0, 0x7F, 0x01, 0x02, 0x10, 0x01, '2', 0xF7}), "there is no cue “2”");
    EXPECT_FALSE(playing(0) || playing(1));
}

// The real port, on a JACK server of the test's own with the dummy driver: a desk connected to
// "Cuevox" reaches the commands, and learn works through it. Then the program's remote control
// with the real window: learn is shown while armed and never outlives its moment, the port keeps
// who is connected to it, and the chosen device is taken again when it comes back.
TEST_F(MidiPort, JackPortTakesNotesShowControlAndAChosenDevice) {
    if (system("command -v jackd >/dev/null 2>&1") != 0) GTEST_SKIP() << "jackd is not installed";
    const std::string server = "cuevox-test-" + std::to_string(getpid());
    setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    const pid_t jackd = fork();
    ASSERT_GE(jackd, 0);
    if (jackd == 0) {
        // Gone with the test even if the test dies: a stray server would go on waking the
        // machine, and every later run would find it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        execlp("jackd", "jackd", "-n", server.c_str(), "-d", "dummy", "-r", "48000", "-p", "256",
               nullptr);
        _exit(127);
    }
    struct Stop {
        pid_t pid;
        ~Stop() {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    } stopJack{jackd};

    QElapsedTimer waited;
    waited.start();
    while (MidiInput::availableBackend() != MidiInput::Backend::Jack && waited.elapsed() < 10000)
        QTest::qWait(100);
    ASSERT_EQ(MidiInput::availableBackend(), MidiInput::Backend::Jack) << "jackd did not start";

    std::mutex mutex;
    std::vector<RemoteCommand> received;
    std::vector<std::pair<Kind, MidiTrigger>> learned;
    MidiInput input(
        [&](const RemoteCommand& c) {
            std::lock_guard lock(mutex);
            received.push_back(c);
            return true;
        },
        [](const QString&) {},
        [&](Kind kind, const MidiTrigger& trigger) {
            std::lock_guard lock(mutex);
            learned.emplace_back(kind, trigger);
        });
    ASSERT_EQ(input.open(MidiInput::Backend::Jack, QString()), QString());
    MidiMapping mapping;
    mapping.setMscDeviceId(1);
    input.setMapping(mapping);
    input.learn(Kind::Go);

    RtMidiOut desk(RtMidi::UNIX_JACK, "Desk");
    int port = -1;
    for (unsigned i = 0; i < desk.getPortCount(); ++i)
        if (desk.getPortName(i).find("Cuevox") != std::string::npos) port = int(i);
    ASSERT_GE(port, 0) << "no Cuevox port among the JACK MIDI inputs";
    desk.openPort(unsigned(port));

    auto waitFor = [&](auto done) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 5000) {
            {
                std::lock_guard lock(mutex);
                if (done()) return true;
            }
            QTest::qWait(10);
        }
        return false;
    };
    const std::vector<unsigned char> note = {0x92, 64, 100};
    desk.sendMessage(&note);
    ASSERT_TRUE(waitFor([&] { return !learned.empty(); }));
    EXPECT_EQ(learned[0].first, Kind::Go);
    EXPECT_EQ(learned[0].second, (MidiTrigger{MidiTrigger::Type::Note, 2, 64}));

    desk.sendMessage(&note);
    ASSERT_TRUE(waitFor([&] { return !received.empty(); }));
    const std::vector<unsigned char> allOff = {0xF0, 0x7F, 0x01, 0x02, 0x10, 0x08, 0xF7};
    desk.sendMessage(&allOff);
    ASSERT_TRUE(waitFor([&] { return received.back().kind != Kind::Go; }));
    // A message once arrived twice (CI, JACK); the show's Go guard takes a doubled Go as
    // one, so here only the order and the kinds count.
    EXPECT_EQ(received.front().kind, Kind::Go);
    EXPECT_EQ(received.back().kind, Kind::Panic);
    for (size_t i = 1; i + 1 < received.size(); ++i)
        EXPECT_EQ(received[i].kind, Kind::Go) << "message " << i;

    // The other way round: a device with an output of its own, chosen in Settings, which
    // Cuevox connects to.
    RtMidiOut device(RtMidi::UNIX_JACK, "Console");
    device.openVirtualPort("Console out");
    QString name;
    ASSERT_TRUE(waitFor([&] {
        for (const QString& d : input.devices())
            if (d.contains("Console out")) name = d;
        return !name.isEmpty();
    })) << input.devices().join(", ").toStdString();
    ASSERT_EQ(input.open(MidiInput::Backend::Jack, name), QString());
    input.setMapping(mapping);
    {
        std::lock_guard lock(mutex);
        received.clear();
    }
    const std::vector<unsigned char> go = {0xF0, 0x7F, 0x7F, 0x02, 0x7F, 0x01, 0xF7};
    // The server makes the connection in its own time: on a loaded machine a message sent at
    // once can go out before it stands. Sent again until one arrives.
    bool arrived = false;
    QElapsedTimer sending;
    sending.start();
    while (!arrived && sending.elapsed() < 5000) {
        device.sendMessage(&go);
        QTest::qWait(50);
        std::lock_guard lock(mutex);
        arrived = !received.empty();
    }
    ASSERT_TRUE(arrived);
    EXPECT_EQ(received[0].kind, Kind::Go);
    EXPECT_EQ(input.open(MidiInput::Backend::Jack, "No such device"),
              "the MIDI device \"No such device\" is not connected");
    EXPECT_TRUE(input.isOpen());  // the Cuevox port itself stays
    input.close();

    writeList({cue(audioFile("a.wav", 12.0))});
    open();
    RemoteSettings settings;
    settings.midiDevice = name;
    settings.save();
    RemoteControl remote(vc());
    remote.applySettings();
    desk.closePort();
    for (unsigned i = 0; i < desk.getPortCount(); ++i)
        if (desk.getPortName(i).rfind("Cuevox:", 0) == 0) desk.openPort(i);
    // Settings that are not the port's leave the desk connected: all it sends below arrives.
    settings.oscPort = 9999;
    settings.save();
    remote.applySettings();
    auto learnShown = [this] {
        return window_->messageArea()->warningLabel()->text().contains("MIDI Learn");
    };
    auto fires = [&](RtMidiOut& from, std::vector<unsigned char> message) {
        vc().stopAllButton(nullptr);
        QTest::qWait(ViewController::kGoGuardMs + 20);
        from.sendMessage(&message);
        return QTest::qWaitFor([&] { return playing(0); }, 3000);
    };
    QLabel* latest = window_->messageArea()->latestLabel();

    remote.learn(Kind::Go);
    EXPECT_TRUE(learnShown());
    desk.sendMessage(&note);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !learnShown(); }, 5000));
    // Escape, the settings closing and 10 s of silence end a learn: the key still fires Go.
    remote.learn(Kind::StopAll);
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    EXPECT_FALSE(learnShown());
    auto settingsWindow = std::make_unique<RemoteSettingsWidget>();
    settingsWindow->show();
    remote.learn(Kind::Next);
    settingsWindow->close();
    EXPECT_FALSE(learnShown());
    remote.learn(Kind::Previous);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !learnShown(); }, 13000));
    EXPECT_TRUE(fires(desk, note));

    // The chosen device unplugged and plugged in again: told both ways, and heard again.
    device.closePort();
    EXPECT_TRUE(QTest::qWaitFor([&] { return latest->text().contains("is gone"); }, 5000));
    device.openVirtualPort("Console out");
    EXPECT_TRUE(QTest::qWaitFor([&] { return latest->text().contains("connected again"); }, 5000));
    EXPECT_TRUE(fires(device, go));
    // Clear takes the key away at once.
    for (QPushButton* button : settingsWindow->findChildren<QPushButton*>())
        if (button->accessibleName() == "Clear Go") button->click();
    EXPECT_FALSE(fires(desk, note));
}
