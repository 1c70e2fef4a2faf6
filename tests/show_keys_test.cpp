#include <QLineEdit>

#include "WindowFixture.h"
#include "app/AppDelegate.h"
#include "platform/NotificationCenter.h"

namespace {

class ShowKeysTest : public WindowFixture {
protected:
    void openShow() {
        writeList({cue(audioFile("a.wav", 3.0), {{"moveSelection", true}}),
                   cue(audioFile("b.wav", 3.0)), cue(audioFile("c.wav", 3.0))});
        open();
        delegate_.connectMenu(*window_);
        delegate_.applicationDidFinishLaunching();
        window_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
        table().selectRowIndexes({0}, false);
        table().setFocus();
    }
    void press(Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); }

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

TEST_F(ShowKeysTest, TextFieldsKeepSpaceAndEscape) {
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
    EXPECT_TRUE(playing(0));
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

}  // namespace
