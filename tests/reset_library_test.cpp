// Resetting the library and removing its last cue: the question asked first, and a reset that
// leaves nothing sounding and nothing pending from the old show.
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>

#include "WindowFixture.h"
#include "app/AppDelegate.h"
#include "app/SettingsViewController.h"
#include "audio/AudioEngine.h"

namespace fs = std::filesystem;

namespace {

class ResetLibraryTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        AudioEngine::shared();
    }
    void openShow(const std::vector<nlohmann::json>& cues) {
        writeList(cues);
        open();
        delegate_.connectMenu(*window_);
        delegate_.applicationDidFinishLaunching();
        table().selectRowIndexes({0}, false);
    }
    std::string listText() { return savedList(); }

    // Runs `answer` on the question dialog once it is up (it runs its own event loop).
    static void whenAsked(std::function<void(QMessageBox*)> answer) {
        auto* poll = new QTimer;
        poll->setInterval(10);
        QObject::connect(poll, &QTimer::timeout, [poll, answer] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                    poll->stop();
                    poll->deleteLater();
                    answer(box);
                    return;
                }
        });
        poll->start();
    }
    static QAbstractButton* buttonIn(QMessageBox* box, QMessageBox::ButtonRole role) {
        for (QAbstractButton* b : box->buttons())
            if (box->buttonRole(b) == role) return b;
        return nullptr;
    }
    static void pressIn(QWidget* window, Qt::Key key) {
        QWidget* focus = window->focusWidget();
        QTest::keyClick(focus ? focus : window, key);
    }

    AppDelegate delegate_;
};

TEST_F(ResetLibraryTest, TheQuestionStartsOnCancelAndNeitherShowKeyNorReturnConfirms) {
    const std::string f = audioFile("a.wav", 5.0);
    openShow({cue(f), cue(f), cue(f)});
    const std::string before = listText();
    SettingsViewController* settings = delegate_.showSettings(window_.get());

    bool cancelFirst = false, wentOn = false, stoppedAll = false, stayedUp = false;
    whenAsked([&](QMessageBox* box) {
        QAbstractButton* cancel = buttonIn(box, QMessageBox::RejectRole);
        cancelFirst = cancel && box->defaultButton() == cancel && box->focusWidget() == cancel;
        pressIn(box, Qt::Key_Space);
        wentOn = playing(0);
        pressIn(box, Qt::Key_Escape);
        stoppedAll = !playing(0);
        stayedUp = box->isVisible();
        pressIn(box, Qt::Key_Return);
    });
    settings->findChild<QPushButton*>("resetButton")->click();
    EXPECT_TRUE(cancelFirst);
    EXPECT_TRUE(wentOn) << "Space in the question is Go";
    EXPECT_TRUE(stoppedAll) << "Escape in the question is Stop All";
    EXPECT_TRUE(stayedUp);
    EXPECT_EQ(vc().cxList.size(), 3u);
    EXPECT_TRUE(fs::exists(documents_ + "/audio/a.wav"));
    vc().listStore().waitForIdle();
    EXPECT_EQ(listText(), before);

    // The confirming button is a deliberate step away: Tab to it, then Return.
    bool onConfirm = false;
    whenAsked([&](QMessageBox* box) {
        pressIn(box, Qt::Key_Tab);
        onConfirm = box->focusWidget() == buttonIn(box, QMessageBox::DestructiveRole);
        pressIn(box, Qt::Key_Return);
    });
    settings->findChild<QPushButton*>("resetButton")->click();
    EXPECT_TRUE(onConfirm);
    EXPECT_TRUE(vc().cxList.empty());
    EXPECT_EQ(listText(), "[]");
    // The folder stays, and its audio can still be taken back out of the trash.
    EXPECT_TRUE(fs::exists(home_.path() + "/.local/share/Trash/files/a.wav") &&
                fs::exists(documents_ + "/audio"));
}

TEST_F(ResetLibraryTest, AConfirmedResetSilencesEveryCueAndDropsWhatWasPending) {
    const std::string f = audioFile("a.wav", 5.0);
    // Row 0 fades in over 1 s and starts row 1 after 0.4 s; row 2 is fading out.
    openShow(
        {cue(f,
             {{"fadeIn", true}, {"fadeInLength", 1.0}, {"extendPlay", true}, {"extendDelay", 0.4}}),
         cue(f), cue(f, {{"fadeOut", true}, {"fadeOutLength", 0.8}})});
    click(2);
    click(0);
    click(2);
    ASSERT_TRUE(cueAt(0).fadingIn);
    ASSERT_TRUE(cueAt(2).fadingOut);
    const std::shared_ptr<CXAudio> fadingIn = vc().cxList[0];
    const std::shared_ptr<CXAudio> fadingOut = vc().cxList[2];

    SettingsViewController* settings = delegate_.showSettings(window_.get());
    settings->setConfirmer([](QWidget*, const Confirmation&) { return true; });
    settings->findChild<QPushButton*>("resetButton")->click();
    ASSERT_TRUE(vc().cxList.empty());
    EXPECT_FALSE(fadingIn->player->isPlaying());
    EXPECT_FALSE(fadingOut->player->isPlaying());

    // A new show at once, before the old one's pending work would have run.
    QTemporaryDir sources;
    QStringList files;
    for (const char* name : {"x.wav", "y.wav", "z.wav"}) {
        const std::string path = sources.path().toStdString() + "/" + name;
        testfiles::writeToneWav(path, 48000, 3.0, 440.0, 0.1f);
        files << QString::fromStdString(path);
    }
    vc().setFileChooser([&](QWidget*) { return files; });
    vc().addAudio();
    ASSERT_EQ(vc().cxList.size(), 3u);

    // Past the old chained start, fade-in completion and fade-out completion.
    QTest::qWait(1300);
    for (int row = 0; row < 3; ++row) {
        EXPECT_FALSE(playing(row)) << "row " << row;
        EXPECT_EQ(titleOf(row), "Play") << "row " << row;
    }
    EXPECT_FALSE(fadingIn->player->isPlaying());
    EXPECT_FALSE(fadingOut->player->isPlaying());
}

}  // namespace
