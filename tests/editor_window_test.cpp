// The cue editor as a window beside the main one: the show stays playable while it is open, the
// list commands close it first, every way of closing it takes the field being typed in, and a
// file of an hour or more keeps its cut through the fields and the markers.
#include <QAction>
#include <QMimeData>
#include <cmath>
#include <optional>

#include "WindowFixture.h"
#include "app/AppDelegate.h"
#include "editor/AudioEditView.h"
#include "platform/NotificationCenter.h"

namespace {

class EditorWindowTest : public WindowFixture {
protected:
    void openShow(int cues) {
        const std::string f = audioFile("tone.wav", 30.0);
        std::vector<nlohmann::json> list;
        for (int i = 0; i < cues; ++i)
            list.push_back(cue(f, {{"audioTitle", std::string(1, char('A' + i))}}));
        writeList(list);
        open();
        delegate_.connectMenu(*window_);
        delegate_.applicationDidFinishLaunching();
    }

    // Opened with the row's Edit button, as the operator does, and given the keyboard.
    AudioEditView* openEditor(int row) {
        CXTableCell* cell = table().viewAtColumn(6, row);
        if (!cell) return nullptr;
        QTest::mouseClick(cell->cxEditButton(), Qt::LeftButton);
        AudioEditView* editor = vc().presentedViewController();
        if (editor) QApplication::setActiveWindow(editor);
        return editor;
    }
    int openEditors() {
        int count = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<AudioEditView*>(w) && w->isVisible()) ++count;
        return count;
    }

    // Typed into a cut field and left there: no Return, no focus change.
    static void typeInto(QLineEdit* field, const QString& text) {
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, text);
    }
    static void key(QWidget* window, Qt::Key k, Qt::KeyboardModifiers modifiers = {}) {
        QWidget* focus = window->focusWidget();
        QTest::keyClick(focus ? focus : window, k, modifiers);
    }

    nlohmann::json savedList() { return nlohmann::json::parse(WindowFixture::savedList()); }
    std::optional<nlohmann::json> savedCue(const std::string& title) {
        for (const auto& c : savedList())
            if (c.value("audioTitle", "") == title) return c;
        return std::nullopt;
    }
    QString endTextOf(int row) {
        CXTableCell* cell = table().viewAtColumn(4, row);
        return cell && cell->cxEndTime() ? cell->cxEndTime()->text() : QString();
    }

    AppDelegate delegate_;
};

TEST_F(EditorWindowTest, TheShowStaysPlayableWhileACueIsEdited) {
    openShow(3);
    AudioEditView* editor = openEditor(0);
    ASSERT_NE(editor, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(editor));

    // Real clicks on the main window: nothing there is blocked by the editor.
    QTest::mouseClick(playButton(1), Qt::LeftButton);
    EXPECT_TRUE(playing(1));
    EXPECT_EQ(titleOf(1), "Stop");
    QTest::mouseClick(playButton(0), Qt::LeftButton);
    EXPECT_TRUE(playing(0));
    QTest::mouseClick(playButton(1), Qt::LeftButton);
    EXPECT_FALSE(playing(1));
    ASSERT_TRUE(waitFor([&] { return editor->waveform()->playPosition().has_value(); }, 2000))
        << "the editor follows its cue playing from the main window";
    QTest::mouseClick(window_->findChild<QPushButton*>("stopAllButton"), Qt::LeftButton);
    EXPECT_FALSE(playing(0));

    // The show keys from the main window, with the editor still up beside it.
    QApplication::setActiveWindow(window_.get());
    table().selectRowIndexes({2}, false);
    table().setFocus();
    key(window_.get(), Qt::Key_Space);
    EXPECT_TRUE(playing(2));
    key(window_.get(), Qt::Key_Escape);
    EXPECT_FALSE(playing(2));
    EXPECT_EQ(vc().presentedViewController(), editor);

    // One editor at a time: another row's Edit button closes this one, saving it.
    editor->audioTitle()->setFocus();
    editor->audioTitle()->end(false);
    QTest::keyClicks(editor->audioTitle(), " edited");
    QPointer<AudioEditView> first(editor);
    AudioEditView* second = openEditor(1);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, editor);
    EXPECT_EQ(second->audioFile.get(), &cueAt(1));
    EXPECT_TRUE(waitFor([&] { return first.isNull(); }, 2000));
    EXPECT_EQ(openEditors(), 1);
    EXPECT_TRUE(savedCue("A edited"));
    // Its own row's button only brings it forward.
    EXPECT_EQ(openEditor(1), second);
    EXPECT_EQ(openEditors(), 1);
}

TEST_F(EditorWindowTest, ListCommandsCloseTheEditorFirstAndSaveIt) {
    openShow(4);  // A B C D
    QTemporaryDir sources;
    const std::string extra = sources.path().toStdString() + "/extra.wav";
    testfiles::writeToneWav(extra, 48000, 0.5, 440.0, 0.1f);
    vc().setFileChooser([&](QWidget*) { return QStringList{QString::fromStdString(extra)}; });

    auto dropFirstRowAtTheEnd = [&] {
        auto* data = new QMimeData;
        data->setData("private.table-row", "0");
        std::unique_ptr<QMimeData> owned(data);
        const QPoint point(300, table().rowViewportPosition(table().numberOfRows() - 1) + 40);
        QWidget* viewport = table().viewport();
        QDragEnterEvent enter(point, Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        QDragMoveEvent move(point, Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &move);
        QDropEvent dropped(QPointF(point), Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &dropped);
        QCoreApplication::processEvents();
    };
    const std::vector<std::pair<const char*, std::function<void()>>> commands = {
        {"remove", [&] { vc().removeAudio(); }},
        {"move up", [&] { NotificationCenter::defaultCenter().post("moveAudioUp"); }},
        {"move down", [&] { NotificationCenter::defaultCenter().post("moveAudioDown"); }},
        {"duplicate", [&] { NotificationCenter::defaultCenter().post("duplicateTrack"); }},
        {"duplicate bare",
         [&] { NotificationCenter::defaultCenter().post("duplicateTrackWithoutOptions"); }},
        {"import", [&] { vc().addAudio(); }},
        {"drop", dropFirstRowAtTheEnd},
        {"close window", [&] { window_->findChild<QAction*>("actionCloseWindow")->trigger(); }},
    };
    int end = 10;
    for (const auto& [name, command] : commands) {
        SCOPED_TRACE(name);
        // The editor on the second row; the command acts on that row, or removes the one above.
        AudioEditView* editor = openEditor(1);
        ASSERT_NE(editor, nullptr);
        const std::shared_ptr<CXAudio> edited = editor->audioFile;
        table().selectRowIndexes({name == std::string("remove") ? 0 : 1}, false);
        const std::string title = std::string("Edited ") + name;
        editor->audioTitle()->setText(QString::fromStdString(title));
        emit editor->audioTitle()->textEdited(editor->audioTitle()->text());
        typeInto(editor->endSec(), QString::number(++end));

        command();
        EXPECT_EQ(vc().presentedViewController(), nullptr);
        EXPECT_EQ(edited->endTime, double(end)) << "the typed end was taken";
        const std::optional<nlohmann::json> saved = savedCue(title);
        ASSERT_TRUE(saved);
        EXPECT_EQ(saved->at("endTime"), double(end));
        QTest::qWait(10);  // the closed editor goes
    }

    AudioEditView* editor = openEditor(0);
    ASSERT_NE(editor, nullptr);
    QPointer<AudioEditView> open(editor);
    vc().resetCX();
    EXPECT_TRUE(vc().cxList.empty());
    EXPECT_TRUE(waitFor([&] { return open.isNull(); }, 2000));
}

TEST_F(EditorWindowTest, EveryWayOfClosingTakesTheFieldBeingTypedIn) {
    openShow(2);
    const std::vector<std::pair<const char*, std::function<void(AudioEditView*)>>> ways = {
        {"Save button", [](AudioEditView* e) { e->saveControl()->click(); }},
        {"Ctrl+Return", [](AudioEditView* e) { key(e, Qt::Key_Return, Qt::ControlModifier); }},
        {"close box", [](AudioEditView* e) { e->close(); }},
        {"Ctrl+W", [](AudioEditView* e) { key(e, Qt::Key_W, Qt::ControlModifier); }},
        {"File > Close",
         [&](AudioEditView*) { window_->findChild<QAction*>("actionCloseWindow")->trigger(); }},
        {"another cue's editor", [&](AudioEditView*) { openEditor(1)->dismissController(); }},
        {"main window closed", [&](AudioEditView*) { window_->close(); }},
    };
    int end = 10;
    for (const auto& [name, close] : ways) {
        SCOPED_TRACE(name);
        QPointer<AudioEditView> editor(openEditor(0));
        ASSERT_TRUE(editor);
        const double before = cueAt(0).endTime;
        typeInto(editor->endSec(), QString::number(++end));
        ASSERT_EQ(cueAt(0).endTime, before) << "typing alone takes nothing";

        close(editor);
        EXPECT_TRUE(waitFor([&] { return editor.isNull(); }, 2000));
        EXPECT_EQ(cueAt(0).endTime, double(end));
        EXPECT_EQ(savedList()[0]["endTime"], double(end));
        if (window_->isVisible()) EXPECT_EQ(endTextOf(0), QString("0:%1").arg(end));
    }
}

TEST_F(EditorWindowTest, ASixtyTwoMinuteFileKeepsItsCutThroughMarkersAndTab) {
    // 62:05.5 of silence at 8 kHz: a FLAC of a few hundred kilobytes.
    const std::string path = documents_ + "/audio/long.flac";
    ASSERT_EQ(testfiles::run("ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                             "anullsrc=r=8000:cl=mono -t 3725.5 -c:a flac '" +
                             path + "'"),
              0);
    writeList({cue("long.flac")});
    open();
    CXAudio& c = cueAt(0);
    const double duration = c.player->duration();
    ASSERT_NEAR(duration, 3725.5, 1e-3);
    EXPECT_EQ(endTextOf(0), "1:02:05");

    AudioEditView* editor = openEditor(0);
    ASSERT_NE(editor, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(editor));
    auto fields = [](QLineEdit* m, QLineEdit* s) { return m->text() + ":" + s->text(); };
    EXPECT_EQ(fields(editor->endMin(), editor->endSec()), "62:5");

    // Tabbing through the four fields without typing changes nothing.
    editor->startMin()->setFocus();
    for (int i = 0; i < 4; ++i) key(editor, Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), editor->endSec()) << "Tab left the last field";
    EXPECT_EQ(c.startTime, 0.0);
    EXPECT_EQ(c.endTime, duration);

    WaveformView* wave = editor->waveform();
    auto xOf = [&](double seconds) { return QPoint(int(std::lround(wave->xOfTime(seconds))), 40); };
    auto drag = [&](QPoint from, QPoint to) {
        QTest::mousePress(wave, Qt::LeftButton, {}, from);
        QTest::mouseMove(wave, to);
        QTest::mouseRelease(wave, Qt::LeftButton, {}, to);
    };
    // The start marker to about ten minutes: the end stays the file's exact end.
    drag(xOf(0.0), xOf(600.0));
    EXPECT_NEAR(c.startTime, 600.0, 10.0);
    EXPECT_EQ(c.endTime, duration);
    EXPECT_EQ(fields(editor->endMin(), editor->endSec()), "62:5");

    // An end typed past the hour is taken whole, and a later start drag leaves it.
    typeInto(editor->endMin(), "61");
    typeInto(editor->endSec(), "30");
    key(editor, Qt::Key_Tab);
    EXPECT_EQ(c.endTime, 3690.0);
    drag(xOf(c.startTime), xOf(1200.0));
    EXPECT_NEAR(c.startTime, 1200.0, 10.0);
    EXPECT_EQ(c.endTime, 3690.0);
    // The end marker leaves the start.
    const double start = c.startTime;
    drag(xOf(3690.0), xOf(3000.0));
    EXPECT_NEAR(c.endTime, 3000.0, 10.0);
    EXPECT_EQ(c.startTime, start);
    drag(xOf(c.endTime), QPoint(wave->width() + 20, 40));
    EXPECT_EQ(c.endTime, duration) << "back at the right edge: the exact end";
    typeInto(editor->endMin(), "61");
    typeInto(editor->endSec(), "30");

    key(editor, Qt::Key_Return, Qt::ControlModifier);
    ASSERT_EQ(vc().presentedViewController(), nullptr);
    EXPECT_EQ(savedList()[0]["endTime"], 3690.0);
    EXPECT_EQ(endTextOf(0), "1:01:30");

    // Opened again, the fields read back the same time, and tabbing through them keeps it.
    editor = openEditor(0);
    ASSERT_NE(editor, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(editor));
    EXPECT_EQ(fields(editor->endMin(), editor->endSec()), "61:30");
    editor->startMin()->setFocus();
    for (int i = 0; i < 4; ++i) key(editor, Qt::Key_Tab);
    EXPECT_EQ(c.endTime, 3690.0);
    EXPECT_EQ(c.startTime, start);
}

}  // namespace
