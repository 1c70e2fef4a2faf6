#include <sys/stat.h>

#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QTimer>
#include <fstream>
#include <future>
#include <thread>

#include "WindowFixture.h"
#include "app/AppDelegate.h"
#include "app/SettingsViewController.h"
#include "editor/AudioEditView.h"
#include "platform/NotificationCenter.h"
#include "window/ImportPanel.h"
#include "window/StandbyPanel.h"

namespace {

class ShowKeysTest : public WindowFixture {
protected:
    void openShow() {
        writeList({cue(audioFile("a.wav", 10.0), {{"moveSelection", true}}),
                   cue(audioFile("b.wav", 10.0), {{"moveSelection", true}}),
                   cue(audioFile("c.wav", 10.0))});
        open();
        delegate_.connectMenu(*window_);
        delegate_.applicationDidFinishLaunching();
        window_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
        // The first Go of the evening plays the first cue: it stands by from the start.
        EXPECT_EQ(table().selectedRow(), 0);
        table().setFocus();
    }
    void press(Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); }
    // A key as the window system hands it to `window`: to the widget with focus there.
    static void pressIn(QWidget* window, Qt::Key key,
                        Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWidget* focus = window->focusWidget();
        QTest::keyClick(focus ? focus : window, key, modifiers);
    }
    bool anyPlaying() {
        for (int row = 0; std::size_t(row) < vc().cxList.size(); ++row)
            if (playing(row)) return true;
        return false;
    }
    // Go ignores a second press within its guard time.
    static void pastGoGuard() { QTest::qWait(ViewController::kGoGuardMs + 20); }

    AppDelegate delegate_;
};

TEST_F(ShowKeysTest, SpaceGoesThroughTheListAndEscapeStopsAll) {
    openShow();
    press(Qt::Key_Space);
    EXPECT_TRUE(playing(0));
    EXPECT_EQ(table().selectedRow(), 1);  // the cue moved the selection on

    // A bounce right after the first press fires nothing.
    press(Qt::Key_Space);
    EXPECT_FALSE(playing(1));

    QTest::qWait(ViewController::kGoGuardMs + 20);
    press(Qt::Key_Space);
    EXPECT_TRUE(playing(1));

    // Go on a cue that already plays leaves it alone (no restart from its start).
    table().selectRowIndexes({0}, false);
    QTest::qWait(ViewController::kGoGuardMs + 20);
    ASSERT_TRUE(waitFor([&] { return cueAt(0).player->currentTime() > 0.2; }, 3000));
    press(Qt::Key_Space);
    EXPECT_GT(cueAt(0).player->currentTime(), 0.2);

    press(Qt::Key_Escape);
    EXPECT_FALSE(playing(0));
    EXPECT_FALSE(playing(1));
    EXPECT_EQ(titleOf(0), "Play");
}

TEST_F(ShowKeysTest, TheStandbyGoButtonIsGoAndLeavesTheKeysToTheShow) {
    openShow();
    QPushButton* go = window_->standbyPanel()->goButton();
    QTest::mouseClick(go, Qt::LeftButton);
    EXPECT_TRUE(playing(0));
    EXPECT_EQ(table().selectedRow(), 1);
    // A doubled press is one Go, as a doubled Space is.
    QTest::mouseClick(go, Qt::LeftButton);
    EXPECT_FALSE(playing(1));
    EXPECT_NE(QApplication::focusWidget(), go);
    pastGoGuard();
    press(Qt::Key_Space);
    EXPECT_TRUE(playing(1));
    press(Qt::Key_Escape);
    EXPECT_TRUE(waitFor([&] { return !anyPlaying(); }, 2000));
}

TEST_F(ShowKeysTest, AHeldKeyFiresOnceAndAPedalsEnterIsGo) {
    // Held on a real X server, repeated by the server itself: the test runs again on an Xvfb of
    // its own, where xdotool holds each key down through XTest. A fast repeat gives the window
    // many release and press pairs to tell from a new press.
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        const QString run =
            "source " CUEVOX_SOURCE_DIR
            "/tests/support/xvfb.sh && start_xvfb 1280x800x24 -ardelay 300 -arinterval 10 && "
            "QT_QPA_PLATFORM=xcb \"$0\" --gtest_filter=ShowKeysTest.AHeldKey*; "
            "s=$?; stop_xvfb; exit $s";
        EXPECT_EQ(QProcess::execute("bash", {"-c", run, QCoreApplication::applicationFilePath()}),
                  0);
        return;
    }
    openShow();
    int started = 0;
    const std::vector<std::pair<QString, const char*>> keys = {
        {"space", "actionGo"},   {"Return", "actionGo"}, {"KP_Enter", "actionGo"},
        {"p", "actionPauseAll"}, {"f", "actionFadeCue"}, {"Escape", "actionStopAll"}};
    for (const auto& [key, name] : keys) {
        QSignalSpy fired(window_->findChild<QAction*>(name), &QAction::triggered);
        QProcess::execute("xdotool", {"keydown", key});
        QTest::qWait(1500);
        QProcess::execute("xdotool", {"keyup", key});
        QTest::qWait(200);
        EXPECT_EQ(fired.count(), 1) << key.toStdString();
        if (std::string(name) == "actionGo")
            EXPECT_EQ(playing(0) + playing(1) + playing(2), ++started) << key.toStdString();
    }
}

TEST_F(ShowKeysTest, QuittingAsksWhileACuePlaysOrAChainedStartWaits) {
    openShow();
    cueAt(0).extendPlay = true;
    cueAt(0).extendDelay = 1.0;
    int asked = 0;
    vc().setConfirmer([&](QWidget*, const Confirmation&) { return ++asked, false; });
    press(Qt::Key_Space);
    QTest::keyClick(window_.get(), Qt::Key_Q, Qt::ControlModifier);
    ASSERT_EQ(asked, 1);
    click(0);          // stopped by hand, it leaves its chain armed (Stop All would not)
    window_->close();  // the close box, Alt+F4: the next cue's start is still due
    EXPECT_EQ(asked, 2);
    ASSERT_TRUE(waitFor([&] { return playing(1); }, 5000));
    press(Qt::Key_Escape);
    window_->close();
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(window_->isVisible());
}

TEST_F(ShowKeysTest, TextFieldsKeepSpaceButEscapeIsAlwaysStopAll) {
    openShow();
    QLineEdit* title = table().viewAtColumn(2, 1)->cxAudioTitle();
    title->setFocus();
    title->setText("Act");
    title->setCursorPosition(3);
    press(Qt::Key_Space);
    QTest::keyClicks(title, "two");
    EXPECT_EQ(title->text(), "Act two");
    EXPECT_FALSE(playing(0));

    table().setFocus();
    press(Qt::Key_Space);
    ASSERT_TRUE(playing(0));
    title->setFocus();
    press(Qt::Key_Escape);
    EXPECT_FALSE(playing(0));
    EXPECT_EQ(title->text(), "Act two") << "the field keeps what was typed";
}

TEST_F(ShowKeysTest, NotificationsReachGoAndStopAllFromAnySender) {
    openShow();
    NotificationCenter::defaultCenter().post("goCX");
    EXPECT_TRUE(playing(0));
    NotificationCenter::defaultCenter().post("stopAllCX");
    EXPECT_FALSE(playing(0));
    // Without a selected row, Go does nothing.
    table().clearSelection();
    QTest::qWait(ViewController::kGoGuardMs + 20);
    NotificationCenter::defaultCenter().post("goCX");
    for (int row = 0; row < 3; ++row) EXPECT_FALSE(playing(row));
}

TEST_F(ShowKeysTest, TheEditorLeavesSpaceAndEscapeToTheShow) {
    openShow();
    vc().openAudioEditor(2);
    AudioEditView* editor = vc().presentedViewController();
    ASSERT_NE(editor, nullptr);
    QApplication::setActiveWindow(editor);

    // It opens on a toggle, not in the title: Space is Go at once and types nothing, nor
    // presses the toggle; Escape stops all and closes nothing.
    EXPECT_EQ(editor->focusWidget(), editor->fadeInButton());
    pressIn(editor, Qt::Key_Space);
    EXPECT_TRUE(playing(0));
    EXPECT_EQ(editor->audioTitle()->text(), "c.wav");
    EXPECT_FALSE(editor->fadeInButton()->isChecked());
    EXPECT_FALSE(cueAt(2).fadeIn);
    pressIn(editor, Qt::Key_Escape);
    EXPECT_FALSE(anyPlaying());
    EXPECT_EQ(vc().presentedViewController(), editor);

    // Return presses the focused toggle instead; a number field or a button with focus gives
    // Space to the show just the same.
    pressIn(editor, Qt::Key_Return);
    EXPECT_TRUE(cueAt(2).fadeIn);
    editor->fadeInSeconds()->setFocus();
    pastGoGuard();
    pressIn(editor, Qt::Key_Space);
    EXPECT_TRUE(playing(1));
    editor->resetCut()->setFocus();
    pressIn(editor, Qt::Key_Escape);
    EXPECT_FALSE(anyPlaying());

    // In a field Space types; Escape there still stops all and keeps what was typed.
    editor->audioTitle()->setFocus();
    editor->audioTitle()->setText("Act");
    editor->audioTitle()->end(false);
    pressIn(editor, Qt::Key_Space);
    EXPECT_EQ(editor->audioTitle()->text(), "Act ");
    EXPECT_FALSE(anyPlaying());
    click(0);
    pressIn(editor, Qt::Key_Escape);
    EXPECT_FALSE(playing(0));
    EXPECT_EQ(editor->audioTitle()->text(), "Act ");
    EXPECT_EQ(vc().presentedViewController(), editor);
}

TEST_F(ShowKeysTest, SettingsTakeTheShowKeysAndCloseWithControlW) {
    openShow();
    const std::string listBefore = savedList();
    window_->findChild<QAction*>("actionSettings")->trigger();
    SettingsViewController* settings = delegate_.showSettings(window_.get());  // the one open
    ASSERT_NE(settings, nullptr);
    QPointer<SettingsViewController> alive(settings);
    auto* reset = settings->findChild<QPushButton*>("resetButton");
    reset->setFocus();
    int asked = 0;
    settings->setConfirmer([&](QWidget*, const Confirmation&) { return ++asked, false; });

    pressIn(settings, Qt::Key_Space);
    EXPECT_TRUE(playing(0));
    pressIn(settings, Qt::Key_Escape);
    EXPECT_FALSE(anyPlaying());
    pressIn(settings, Qt::Key_Return);
    EXPECT_EQ(asked, 0) << "neither key reaches the focused Reset Library button";
    EXPECT_TRUE(settings->isVisible());
    EXPECT_EQ(vc().cxList.size(), 3u);
    EXPECT_TRUE(std::filesystem::exists(documents_ + "/audio/a.wav"));

    pressIn(settings, Qt::Key_W, Qt::ControlModifier);
    EXPECT_TRUE(waitFor([&] { return alive.isNull(); }, 2000));
    vc().listStore().waitForIdle();
    EXPECT_EQ(savedList(), listBefore);
}

TEST_F(ShowKeysTest, EscapeInAnOpenMenuClosesItAndStopsAll) {
    openShow();
    cueAt(0).fadeOut = true;
    cueAt(0).fadeOutLength = 2.0;
    press(Qt::Key_Space);
    ASSERT_TRUE(playing(0));
    auto* menu = window_->findChild<QMenu*>("menuCue");
    menu->popup(window_->mapToGlobal(QPoint(20, 20)));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
    QTest::keyClick(menu, Qt::Key_Escape);
    EXPECT_FALSE(menu->isVisible());
    // Stopped once, so fading out: a second Stop All would have cut the fade short.
    EXPECT_TRUE(cueAt(0).fadingOut);
    EXPECT_TRUE(playing(0));
    EXPECT_EQ(titleOf(0), "Fading");
}

TEST_F(ShowKeysTest, TheImportDialogTakesTheShowKeysAndKeepsImporting) {
    openShow();
    // The first file is a pipe that delivers only when the test says so, so the dialog stays up
    // for as long as the keys need.
    QTemporaryDir sources;
    const std::string pipe = sources.path().toStdString() + "/Slow.wav";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const std::string later = sources.path().toStdString() + "/later.wav";
    testfiles::writeToneWav(later, 48000, 0.5, 440.0, 0.1f);
    testfiles::writeToneWav(sources.path().toStdString() + "/content.wav", 48000, 0.4, 440.0, 0.1f);
    const std::string audio = testfiles::readAll(sources.path().toStdString() + "/content.wav");
    std::promise<void> release;
    std::thread writer([&, go = release.get_future()]() mutable {
        go.wait_for(std::chrono::seconds(10));
        std::ofstream(pipe, std::ios::binary) << audio;
    });

    bool dialogUp = false, wentOn = false, stoppedAll = false, stillUp = false, cancelled = true;
    vc().setFileChooser([&](QWidget*) {
        auto dialog = [] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* d = qobject_cast<ImportProgressDialog*>(w); d && d->isVisible()) return d;
            return static_cast<ImportProgressDialog*>(nullptr);
        };
        QTimer::singleShot(700, [&, dialog] {
            ImportProgressDialog* d = dialog();
            dialogUp = d != nullptr;
            if (d) pressIn(d, Qt::Key_Space);
            wentOn = playing(0);
        });
        QTimer::singleShot(900, [&, dialog] {
            if (ImportProgressDialog* d = dialog()) pressIn(d, Qt::Key_Escape);
            stoppedAll = !anyPlaying();
            ImportProgressDialog* d = dialog();
            stillUp = d != nullptr;
            cancelled = d && d->stopRequested();
            release.set_value();
        });
        return QStringList{QString::fromStdString(pipe), QString::fromStdString(later)};
    });
    vc().addAudio();
    writer.join();

    EXPECT_TRUE(dialogUp);
    EXPECT_TRUE(wentOn) << "Space in the import dialog is Go";
    EXPECT_TRUE(stoppedAll) << "Escape in the import dialog is Stop All";
    EXPECT_TRUE(stillUp);
    EXPECT_FALSE(cancelled) << "Escape does not cancel the import";
    ASSERT_EQ(vc().cxList.size(), 5u);
    EXPECT_EQ(cueAt(3).fileName, "Slow.wav");
    EXPECT_EQ(cueAt(4).fileName, "later.wav");
}

}  // namespace
