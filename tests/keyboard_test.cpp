#include <QCheckBox>
#include <QLineEdit>

#include "WindowFixture.h"
#include "editor/AudioEditView.h"

namespace {

class KeyboardTest : public WindowFixture {
protected:
    void openList() {
        writeList({cue(audioFile("a.wav", 30.0)), cue(audioFile("b.wav", 30.0)),
                   cue(audioFile("c.wav", 30.0))});
        open();
        window_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
        table().selectRowIndexes({0}, false);
        table().setFocus();
    }
    static QWidget* focus() { return QApplication::focusWidget(); }
    QWidget* button(const char* name) { return window_->findChild<QPushButton*>(name); }
    static void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(focus(), Qt::Key(key), modifiers);
    }
    // Whatever has focus in the table is outlined, above the cells that cover the rows.
    void expectRingAround(QWidget* control) {
        auto* ring = table().viewport()->findChild<QWidget*>("focusRing");
        ASSERT_TRUE(ring && ring->isVisible());
        const QRect area =
            control == &table()
                ? table().visualRect(table().model()->index(table().selectedRow(), 2))
                : QRect(control->mapTo(table().viewport(), QPoint()), control->size());
        EXPECT_TRUE(ring->geometry().contains(area)) << control->objectName().toStdString();
    }
};

TEST_F(KeyboardTest, ArrowsMoveTheSelectedRowAndTabWalksItsControlsThenTheWindow) {
    openList();
    // From nothing selected, the first arrow takes the first row.
    table().clearSelection();
    press(Qt::Key_Down);
    EXPECT_EQ(table().selectedRow(), 0);
    press(Qt::Key_Down);
    press(Qt::Key_Down);
    EXPECT_EQ(table().selectedRow(), 2);
    press(Qt::Key_Up);
    ASSERT_EQ(table().selectedRow(), 1);
    expectRingAround(&table());

    CXTableCell* name = table().viewAtColumn(2, 1);
    const std::vector<QWidget*> order = {table().viewAtColumn(1, 1)->cxPlayButton(),
                                         name->cxAudioTitle(),
                                         table().viewAtColumn(4, 1)->cxLengthSlider(),
                                         table().viewAtColumn(5, 1)->cxVolumeSlider(),
                                         table().viewAtColumn(6, 1)->cxEditButton(),
                                         button("addAudioButton"),
                                         button("duplicateAudioButton"),
                                         button("removeAudioButton"),
                                         window_->findChild<QWidget*>("masterLevel"),
                                         button("fadeAllButton"),
                                         button("panicButton"),
                                         button("stopAllButton"),
                                         window_->findChild<QWidget*>("messageButton"),
                                         &table()};
    for (QWidget* expected : order) {
        press(Qt::Key_Tab);
        ASSERT_EQ(focus(), expected) << "after Tab: " << focus()->objectName().toStdString();
        if (table().isAncestorOf(expected)) expectRingAround(expected);
    }
    // And back: from the table to the last of the window's buttons, then into the row's end.
    press(Qt::Key_Backtab);
    EXPECT_EQ(focus(), window_->findChild<QWidget*>("messageButton"));
    press(Qt::Key_Backtab);
    EXPECT_EQ(focus(), button("stopAllButton"));
    for (int i = 0; i < 7; ++i) press(Qt::Key_Backtab);
    EXPECT_EQ(focus(), table().viewAtColumn(6, 1)->cxEditButton());

    // A focused row control works from the keyboard: Return presses the button, arrows move a
    // slider by a step a person can hear.
    press(Qt::Key_Backtab);
    ASSERT_EQ(focus(), table().viewAtColumn(5, 1)->cxVolumeSlider());
    press(Qt::Key_Left);
    EXPECT_NEAR(cueAt(1).volumeLevel, 0.99, 1e-6);
    for (int i = 0; i < 3; ++i) press(Qt::Key_Backtab);
    ASSERT_EQ(focus(), table().viewAtColumn(1, 1)->cxPlayButton());
    press(Qt::Key_Return);
    EXPECT_TRUE(playing(1));
    EXPECT_EQ(titleOf(1), "Stop");
}

TEST_F(KeyboardTest, ReturnInTheTitleCommitsItAndGivesTheKeysBackToTheTable) {
    openList();
    press(Qt::Key_Tab);
    press(Qt::Key_Tab);
    QLineEdit* title = table().viewAtColumn(2, 0)->cxAudioTitle();
    ASSERT_EQ(focus(), title);
    title->selectAll();
    QTest::keyClicks(title, "Overture");
    EXPECT_EQ(cueAt(0).audioTitle, "a.wav");  // typing alone commits nothing
    press(Qt::Key_Return);
    EXPECT_EQ(cueAt(0).audioTitle, "Overture");
    ASSERT_TRUE(waitFor([&] { return focus() == &table(); }, 1000));
    press(Qt::Key_Down);
    EXPECT_EQ(table().selectedRow(), 1);

    // The title travels to the saved list.
    vc().listStore().waitForIdle();
    const auto saved = nlohmann::json::parse(savedList());
    EXPECT_EQ(saved.at(0).at("audioTitle"), "Overture");
}

TEST_F(KeyboardTest, TheEditorWorksWithoutAMouse) {
    openList();
    // To the row's Edit button and press it.
    for (int i = 0; i < 5; ++i) press(Qt::Key_Tab);
    ASSERT_EQ(focus(), table().viewAtColumn(6, 0)->cxEditButton());
    press(Qt::Key_Return);
    AudioEditView* editor = vc().presentedViewController();
    ASSERT_NE(editor, nullptr);
    // A window system activates a new window on showing; the offscreen platform may not.
    QApplication::setActiveWindow(editor);
    ASSERT_TRUE(QTest::qWaitForWindowActive(editor));

    // Each part of the editor is an Alt+letter away, and then keys do the rest.
    // A toggle's letter presses it; Return presses it again (Space and keypad Enter are the
    // show's Go).
    press(Qt::Key_I, Qt::AltModifier);
    EXPECT_TRUE(editor->fadeInButton()->hasFocus());
    ASSERT_TRUE(waitFor([&] { return cueAt(0).fadeIn; }, 1000));
    press(Qt::Key_Return);
    EXPECT_FALSE(cueAt(0).fadeIn);
    press(Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(cueAt(0).fadeIn);
    press(Qt::Key_A, Qt::AltModifier);
    ASSERT_EQ(focus(), editor->startMin());
    editor->startMin()->selectAll();
    QTest::keyClicks(focus(), "0");
    press(Qt::Key_Tab);
    ASSERT_EQ(focus(), editor->startSec());
    editor->startSec()->selectAll();
    QTest::keyClicks(focus(), "12");
    press(Qt::Key_Return);
    EXPECT_EQ(cueAt(0).startTime, 12.0);
    ASSERT_TRUE(editor->isVisible());  // Return in a field is no Save
    press(Qt::Key_N, Qt::AltModifier);
    ASSERT_EQ(focus(), editor->panSlider());
    press(Qt::Key_Right);
    EXPECT_NEAR(cueAt(0).panAudio, 0.02, 1e-6);
    press(Qt::Key_S, Qt::AltModifier);
    EXPECT_TRUE(waitFor([&] { return vc().presentedViewController() == nullptr; }, 2000));
    CXTableCell* status = table().viewAtColumn(3, 0);
    EXPECT_EQ(status->cxCutIcon()->accessibleName(), "on");
    EXPECT_EQ(status->cxFadeIcon()->accessibleName(), "off");
}

}  // namespace
