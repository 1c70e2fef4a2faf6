#include <QCheckBox>
#include <QLineEdit>
#include <QSettings>
#include <QStandardPaths>
#include <thread>

#include "WindowFixture.h"
#include "remote/RemoteCommand.h"
#include "remote/RemoteControl.h"
#include "remote/RemoteSettings.h"

namespace {

using Kind = RemoteCommand::Kind;

class RemoteCommandsTest : public WindowFixture {
protected:
    void openList() {
        writeList({cue(audioFile("a.wav", 12.0), {{"audioTitle", "Fades"},
                                                  {"fadeIn", true},
                                                  {"fadeInLength", 2.0},
                                                  {"fadeOut", true},
                                                  {"fadeOutLength", 2.0}}),
                   cue(audioFile("b.wav", 12.0), {{"audioTitle", "Plain"}}),
                   cue(audioFile("c.wav", 12.0), {{"audioTitle", "Last"}})});
        open();
    }
    QString run(Kind kind, const std::string& cue = {}) {
        RemoteCommand command;
        command.kind = kind;
        command.cue = cue;
        return applyRemoteCommand(vc(), command);
    }
};

}  // namespace

TEST_F(RemoteCommandsTest, StartAndStopActAsTheRowButtonThroughFades) {
    openList();
    EXPECT_EQ(run(Kind::Start, "1"), "");
    EXPECT_EQ(titleOf(0), "Fading");
    EXPECT_TRUE(cueAt(0).fadingIn);
    // Start during the fade-in finishes it at once, as a click does.
    run(Kind::Start, "1");
    EXPECT_EQ(titleOf(0), "Stop");
    EXPECT_FALSE(cueAt(0).fadingIn);
    EXPECT_TRUE(playing(0));

    run(Kind::Stop, "1");
    EXPECT_EQ(titleOf(0), "Fading");
    EXPECT_TRUE(cueAt(0).fadingOut);
    // Start never stops: the fade-out goes on.
    run(Kind::Start, "1");
    EXPECT_TRUE(cueAt(0).fadingOut);
    EXPECT_TRUE(playing(0));
    // A second stop cuts the fade short, as a second click does.
    run(Kind::Stop, "1");
    EXPECT_EQ(titleOf(0), "Play");
    EXPECT_FALSE(playing(0));
    // Stop never starts.
    run(Kind::Stop, "1");
    EXPECT_FALSE(playing(0));

    // Stop during a fade-in stops, with the cue's fade-out, rather than finishing the fade.
    run(Kind::Start, "1");
    run(Kind::Stop, "1");
    EXPECT_TRUE(cueAt(0).fadingOut);
    EXPECT_EQ(titleOf(0), "Fading");

    run(Kind::Start, "2");
    EXPECT_EQ(titleOf(1), "Stop");
    run(Kind::Stop, "2");
    EXPECT_EQ(titleOf(1), "Play");
    EXPECT_FALSE(playing(1));

    EXPECT_EQ(run(Kind::Start, "4"), "there is no cue “4”");
    EXPECT_EQ(run(Kind::Stop, "0"), "there is no cue “0”");
    EXPECT_EQ(run(Kind::Select, "-1"), "there is no cue “-1”");
}

TEST_F(RemoteCommandsTest, SelectionMovesAsTheArrowKeysAndGoKeepsItsGuard) {
    openList();
    table().clearSelection();
    run(Kind::Next);
    EXPECT_EQ(table().selectedRow(), 0);  // the first arrow takes the first row
    run(Kind::Next);
    EXPECT_EQ(table().selectedRow(), 1);
    run(Kind::Select, "3");
    EXPECT_EQ(table().selectedRow(), 2);
    run(Kind::Next);
    EXPECT_EQ(table().selectedRow(), 2);  // no wrap-around past the last row
    run(Kind::Previous);
    EXPECT_EQ(table().selectedRow(), 1);

    run(Kind::Go);
    EXPECT_TRUE(playing(1));
    run(Kind::Select, "3");
    run(Kind::Go);  // within the guard after the first Go: a doubled key
    EXPECT_FALSE(playing(2));
    QTest::qWait(ViewController::kGoGuardMs + 30);
    run(Kind::Go);
    EXPECT_TRUE(playing(2));

    const RemoteState state = remoteStateOf(vc());
    EXPECT_EQ(state.selected, "3");
    ASSERT_EQ(state.playing.size(), 2u);
    EXPECT_EQ(state.playing[0].number, "2");
    EXPECT_EQ(state.playing[0].title, "Plain");
    EXPECT_EQ(state.playing[0].state, "playing");
    EXPECT_EQ(state.playing[1].number, "3");
    run(Kind::StopAll);
    EXPECT_TRUE(remoteStateOf(vc()).playing.empty());
}

TEST_F(RemoteCommandsTest, CommandsFromAnotherThreadRunOnTheGuiThreadBoundedAndInOrder) {
    openList();
    table().selectRowIndexes({0}, false);
    RemoteControl remote(vc());
    std::atomic<int> accepted{0};
    std::atomic<bool> done{false};
    // A burst far beyond the queue: what fits runs, in order; the rest is refused at once.
    std::thread sender([&] {
        for (int i = 0; i < 5000; ++i) {
            RemoteCommand command;
            command.kind = i % 2 ? Kind::Previous : Kind::Next;
            accepted += remote.enqueue(command) ? 1 : 0;
        }
        RemoteCommand last;
        last.kind = Kind::Select;
        last.cue = "3";
        while (!remote.enqueue(last)) std::this_thread::yield();
        done = true;
    });
    // The GUI thread goes on with its events meanwhile, as in the program.
    EXPECT_TRUE(waitFor([&] { return done.load(); }, 10000));
    sender.join();
    EXPECT_GE(accepted.load(), int(RemoteQueue::kCapacity));
    EXPECT_LT(accepted.load(), 5000);
    EXPECT_TRUE(waitFor([&] { return table().selectedRow() == 2; }, 5000));
}

TEST_F(RemoteCommandsTest, SettingsAreStoredAndTheSettingsWindowWritesThem) {
    QStandardPaths::setTestModeEnabled(true);
    QSettings().remove("remote");
    const RemoteSettings defaults = RemoteSettings::load();
    EXPECT_FALSE(defaults.oscEnabled);
    EXPECT_EQ(defaults.oscPort, 53100);
    EXPECT_FALSE(defaults.oscNetwork);
    EXPECT_TRUE(defaults.oscAllowedSenders.isEmpty());

    RemoteSettings s;
    s.oscEnabled = true;
    s.oscPort = 9000;
    s.oscNetwork = true;
    s.oscAllowedSenders = RemoteSettings::parseSenders("10.0.0.5, 10.0.0.6;\n192.168.1.20");
    EXPECT_EQ(s.oscAllowedSenders, QStringList({"10.0.0.5", "10.0.0.6", "192.168.1.20"}));
    s.mscDeviceId = 17;
    s.midiTriggers[Kind::Go] = {MidiTrigger::Type::Note, 3, 60};
    s.midiTriggers[Kind::StopAll] = {MidiTrigger::Type::ControlChange, 0, 7};
    s.save();
    const RemoteSettings back = RemoteSettings::load();
    EXPECT_TRUE(back.oscEnabled);
    EXPECT_EQ(back.oscPort, 9000);
    EXPECT_TRUE(back.oscNetwork);
    EXPECT_EQ(back.oscAllowedSenders, s.oscAllowedSenders);
    EXPECT_EQ(back.mscDeviceId, 17);
    const MidiMapping mapping = back.mapping();
    EXPECT_EQ(mapping.trigger(Kind::Go), (MidiTrigger{MidiTrigger::Type::Note, 3, 60}));
    EXPECT_EQ(mapping.trigger(Kind::StopAll),
              (MidiTrigger{MidiTrigger::Type::ControlChange, 0, 7}));
    EXPECT_FALSE(mapping.trigger(Kind::Next).valid());
    EXPECT_EQ(mapping.mscDeviceId(), 17);

    // The settings window: turning OSC off and naming one sender is stored at once.
    RemoteSettingsWidget widget;
    auto* enabled = widget.findChild<QCheckBox*>("oscEnabled");
    ASSERT_NE(enabled, nullptr);
    enabled->setChecked(false);
    auto* senders = widget.findChild<QLineEdit*>("oscAllowedSenders");
    ASSERT_NE(senders, nullptr);
    senders->setText("127.0.0.1");
    emit senders->editingFinished();
    EXPECT_FALSE(RemoteSettings::load().oscEnabled);
    EXPECT_EQ(RemoteSettings::load().oscAllowedSenders, QStringList({"127.0.0.1"}));
    EXPECT_EQ(RemoteSettings::load().midiTriggers[Kind::Go],
              (MidiTrigger{MidiTrigger::Type::Note, 3, 60}));
    for (QPushButton* button : widget.findChildren<QPushButton*>())
        if (button->accessibleName() == "Clear Go") button->click();
    EXPECT_FALSE(RemoteSettings::load().midiTriggers[Kind::Go].valid());
    QSettings().remove("remote");
}
