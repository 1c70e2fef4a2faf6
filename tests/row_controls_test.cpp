// The controls in each row and drag-and-drop reordering, on a real window with real cues.
#include <QContextMenuEvent>
#include <QDragMoveEvent>
#include <QMenu>
#include <QMimeData>

#include "WindowFixture.h"
#include "audio/AudioEngine.h"
#include "platform/MessageLog.h"

namespace {

class RowControlsTest : public WindowFixture {
protected:
    CXTableCell* cell(int column, int row) { return table().viewAtColumn(column, row); }
    // Moves a slider as the user would: by a step of its own, not a value set by the program.
    static void slide(DoubleSlider* slider, double value) {
        const double fraction =
            (value - slider->minValue()) / (slider->maxValue() - slider->minValue());
        slider->QSlider::setValue(int(std::lround(fraction * DoubleSlider::kSteps)));
    }
    nlohmann::json saved() {
        vc().listStore().waitForIdle();
        return nlohmann::json::parse(savedList());
    }
    void rename(int row, const QString& text) {
        QLineEdit* field = cell(2, row)->cxAudioTitle();
        field->setFocus();
        field->selectAll();
        if (text.isEmpty())
            QTest::keyClick(field, Qt::Key_Backspace);
        else
            QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Return);
    }
};

TEST_F(RowControlsTest, RenameSavesTheTitleAsTyped) {
    const std::string f = audioFile("a.wav", 1.0);
    writeList({cue(f, {{"audioTitle", "One"}}), cue(f, {{"audioTitle", "Two"}})});
    open();
    rename(1, "Storm  ");
    EXPECT_EQ(cueAt(1).audioTitle, "Storm  ");
    EXPECT_EQ(saved()[1]["audioTitle"], "Storm  ");
    rename(1, "");
    EXPECT_EQ(cueAt(1).audioTitle, "");
    EXPECT_EQ(saved()[1]["audioTitle"], "");
    EXPECT_EQ(saved()[0]["audioTitle"], "One");
}

TEST_F(RowControlsTest, SeekMovesThePlayerAndLabelOnlyAndSavesNothing) {
    const std::string f = audioFile("long.wav", 90.0);
    writeList({cue(f, {{"startTime", 10.0}, {"endTime", 80.0}}), cue(f)});
    open();
    const uint64_t written = listsWritten();

    click(0);
    ASSERT_TRUE(playing(0));
    slide(cell(4, 0)->cxLengthSlider(), 75.9);
    EXPECT_NEAR(cueAt(0).player->currentTime(), 75.9, 0.05);
    EXPECT_EQ(startTextOf(0), "1:15");
    QTest::qWait(100);
    EXPECT_TRUE(playing(0));
    EXPECT_GT(cueAt(0).player->currentTime(), 75.9);

    // While the operator holds the handle, the running position doesn't pull it away.
    DoubleSlider* position = cell(4, 0)->cxLengthSlider();
    position->setSliderDown(true);
    position->setDoubleValue(20.0);
    QTest::qWait(60);
    EXPECT_EQ(position->doubleValue(), 20.0);
    position->setSliderDown(false);
    EXPECT_TRUE(waitFor([&] { return position->doubleValue() > 75.9; }, 500));

    // A stopped cue: the position moves, the cut does not.
    slide(cell(4, 1)->cxLengthSlider(), 45.0);
    EXPECT_FALSE(playing(1));
    EXPECT_NEAR(cueAt(1).player->currentTime(), 45.0, 0.01);
    EXPECT_EQ(startTextOf(1), "0:45");
    EXPECT_EQ(cueAt(1).startTime, 0.0);
    EXPECT_EQ(cueAt(0).startTime, 10.0);
    EXPECT_EQ(cueAt(0).endTime, 80.0);
    vc().listStore().waitForIdle();
    EXPECT_EQ(listsWritten(), written);
}

TEST_F(RowControlsTest, VolumeSetsCueAndPlayerAndSaves) {
    const std::string f = audioFile("a.wav", 3.0);
    writeList({cue(f, {{"volumeLevel", 1.0}}), cue(f, {{"volumeLevel", 1.0}})});
    open();
    click(1);
    DoubleSlider* slider = cell(5, 1)->cxVolumeSlider();
    slide(slider, 0.25);
    EXPECT_FLOAT_EQ(cueAt(1).volumeLevel, slider->floatValue());
    EXPECT_FLOAT_EQ(cueAt(1).volumeLevel, 0.25f);
    EXPECT_FLOAT_EQ(cueAt(1).player->volume(), 0.25f);
    // Immediate, no ramp: the mixer's gain is there within a block or two.
    EXPECT_TRUE(
        waitFor([&] { return std::fabs(cueAt(1).player->currentGain() - 0.25f) < 1e-4f; }, 500));
    EXPECT_FLOAT_EQ(saved()[1]["volumeLevel"].get<float>(), 0.25f);
    EXPECT_FLOAT_EQ(cueAt(0).volumeLevel, 1.0f);
}

TEST_F(RowControlsTest, RouteFromTheRowsMenuIsShownSavedHeardAndUndone) {
    const std::string f = audioFile("a.wav", 3.0);
    writeList({cue(f, {{"audioTitle", "One"}}), cue(f, {{"audioTitle", "Two"}}),
               cue(f, {{"audioTitle", "Phone"}, {"outputs", {9, 10}}})});
    MessageLog::instance().clear();
    open();
    // Told once the output device is open, or known to be missing as here.
    ASSERT_TRUE(waitFor([] { return !MessageLog::instance().entries().isEmpty(); }, 6000));
    const auto told = MessageLog::instance().entries();
    ASSERT_EQ(told.size(), 1);
    EXPECT_EQ(told[0].text,
              "Cue 3 \"Phone\" is routed to outputs 9 and 10, which this output "
              "device lacks: it plays on outputs 1-2.");
    const auto label = [&](int row) { return cell(3, row)->cxRouteLabel()->text(); };
    EXPECT_EQ(label(0), "1-2");
    EXPECT_EQ(label(2), "9-10");
    const uint64_t written = listsWritten();

    // A right click on a title not being edited opens the rows' menu, not the text's.
    table().selectRowIndexes({0, 1}, false);
    QLineEdit* title = cell(2, 1)->cxAudioTitle();
    QContextMenuEvent click(QContextMenuEvent::Mouse, {4, 4}, title->mapToGlobal(QPoint(4, 4)));
    QApplication::sendEvent(title, &click);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    QMenu* route = menu->actions().value(0)->menu();
    ASSERT_NE(route, nullptr);
    QStringList offered;
    for (QAction* action : route->actions()) offered << action->text();
    EXPECT_EQ(offered.mid(0, 4), (QStringList{"1-2", "3-4", "5-6", "7-8"}));
    QAction* mono = route->actions().value(offered.indexOf("2 (mono)"));
    ASSERT_NE(mono, nullptr);
    mono->trigger();
    menu->close();

    EXPECT_EQ(label(0), "2");
    EXPECT_EQ(label(1), "2");
    EXPECT_EQ(label(2), "9-10");
    EXPECT_EQ(listsWritten(), written + 1);
    EXPECT_EQ(saved()[0]["outputs"], nlohmann::json({2, 2}));
    EXPECT_EQ(saved()[1]["outputs"], nlohmann::json({2, 2}));
    EXPECT_EQ(vc().history().stack().undoText(), "Route");

    // What the mixer makes of it: the first channel silent, the second sounding.
    // Only a device's blocks are metered: on the silent clock nothing is heard.
    const bool device = std::getenv("PULSE_SERVER") != nullptr;
    // The loudest each channel was while the cue played (a waking stream may take a moment).
    const auto peaksWhilePlaying = [&] {
        std::vector<float> peaks, rms, most(2, 0.0f);
        AudioEngine::shared().readMeters(peaks, rms);
        this->click(1);
        waitFor(
            [&] {
                AudioEngine::shared().readMeters(peaks, rms);
                for (size_t i = 0; i < std::min<size_t>(2, peaks.size()); ++i)
                    most[i] = std::max(most[i], peaks[i]);
                return !device || most[0] + most[1] > 0.05f;
            },
            3000);
        QTest::qWait(100);
        AudioEngine::shared().readMeters(peaks, rms);
        for (size_t i = 0; i < std::min<size_t>(2, peaks.size()); ++i)
            most[i] = std::max(most[i], peaks[i]);
        peaks = most;
        this->click(1);
        EXPECT_TRUE(waitFor([&] { return !playing(1); }, 2000));
        return peaks;
    };
    std::vector<float> peaks = peaksWhilePlaying();
    ASSERT_GE(peaks.size(), 2u);
    EXPECT_EQ(peaks[0], 0.0f);
    if (device) EXPECT_GT(peaks[1], 0.05f);

    vc().undo();
    EXPECT_EQ(label(0), "1-2");
    EXPECT_EQ(label(1), "1-2");
    EXPECT_EQ(saved()[1].count("outputs"), 0u);
    EXPECT_EQ(saved()[2]["outputs"], nlohmann::json({9, 10}));
    peaks = peaksWhilePlaying();
    ASSERT_GE(peaks.size(), 2u);
    if (device) EXPECT_GT(peaks[0], 0.05f);
}

TEST_F(RowControlsTest, ControlsThatNameNoRowDoNothing) {
    const std::string f = audioFile("a.wav", 1.0);
    writeList({cue(f, {{"audioTitle", "Only"}, {"volumeLevel", 0.5}})});
    open();
    const uint64_t written = listsWritten();
    DoubleSlider stray;
    stray.setDoubleValue(0.9);
    QLineEdit strayTitle(QStringLiteral("Stray"));
    vc().volumeSlider(&stray);  // no tag at all
    vc().nameUpdated(&strayTitle);
    setTag(&stray, 1);
    setTag(&strayTitle, -1);
    vc().volumeSlider(&stray);
    vc().seekSlider(&stray);
    vc().nameUpdated(&strayTitle);
    vc().editButton(&stray);
    EXPECT_FLOAT_EQ(cueAt(0).volumeLevel, 0.5f);
    EXPECT_EQ(cueAt(0).audioTitle, "Only");
    EXPECT_EQ(vc().presentedViewController(), nullptr);
    EXPECT_EQ(listsWritten(), written);
}

// Drops on the list A, B, C, D, E through the table itself, as the pointer would bring them.
class DragDropTest : public RowControlsTest {
protected:
    void SetUp() override {
        RowControlsTest::SetUp();
        const std::string f = audioFile("a.wav", 2.0);
        std::vector<nlohmann::json> cues;
        for (const char* title : {"A", "B", "C", "D", "E"})
            cues.push_back(cue(f, {{"audioTitle", title}}));
        writeList(cues);
        open(1000, 400);
    }

    std::string order() {
        std::string titles;
        for (auto& c : vc().cxList) titles += c->audioTitle;
        return titles;
    }
    std::string shownOrder() {
        std::string titles;
        for (int row = 0; row < table().numberOfRows(); ++row)
            titles += cell(2, row)->cxAudioTitle()->text().toStdString();
        return titles;
    }

    QMimeData* rowsDrag(const std::vector<int>& rows) {
        auto* data = new QMimeData;
        QByteArray lines;
        for (int row : rows) {
            std::unique_ptr<QMimeData> item(vc().pasteboardWriterForRow(row));
            lines += (lines.isEmpty() ? "" : "\n") + item->data("private.table-row");
        }
        data->setData("private.table-row", lines);
        return data;
    }
    // The point of the gap above `row` (the row count: below the last row), or the middle of a
    // row.
    QPoint gapPoint(int row) {
        if (row == table().numberOfRows()) return {300, table().rowViewportPosition(row - 1) + 40};
        return {300, table().rowViewportPosition(row) + 1};
    }
    QPoint rowMiddle(int row) { return {300, table().rowViewportPosition(row) + 12}; }

    // Enter, move and drop at `point`; whether the move was accepted and the drop taken.
    std::pair<bool, bool> drop(QMimeData* data, QPoint point) {
        std::unique_ptr<QMimeData> owned(data);
        QWidget* viewport = table().viewport();
        QDragEnterEvent enter(point, Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        if (!enter.isAccepted()) return {false, false};
        QDragMoveEvent move(point, Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &move);
        const bool moveAccepted = move.isAccepted();
        QDropEvent dropped(QPointF(point), Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &dropped);
        return {moveAccepted, dropped.isAccepted()};
    }
    std::string dropRows(const std::vector<int>& rows, int gap) {
        const auto [moved, dropped] = drop(rowsDrag(rows), gapPoint(gap));
        EXPECT_TRUE(moved && dropped);
        QCoreApplication::processEvents();
        EXPECT_EQ(shownOrder(), order());
        return order();
    }
};

struct DropCase {
    std::vector<int> rows;
    int gap;
    const char* result;
};

class DropExamplesTest : public DragDropTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(DropExamplesTest, LandsAsOneBlockAtTheGap) {
    EXPECT_EQ(dropRows(GetParam().rows, GetParam().gap), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(OnABCDE, DropExamplesTest,
                         ::testing::Values(DropCase{{0}, 3, "BCADE"}, DropCase{{4}, 1, "AEBCD"},
                                           DropCase{{1, 3}, 0, "BDACE"},
                                           DropCase{{0, 2}, 5, "BDEAC"},
                                           DropCase{{1, 3}, 3, "ACBDE"},
                                           DropCase{{0, 1, 2, 3, 4}, 2, "ABCDE"},
                                           DropCase{{2}, 2, "ABCDE"}, DropCase{{2}, 3, "ABCDE"}));

TEST_F(DragDropTest, RowsInAnyOrderLandAsAscendingAndBadLinesAreSkipped) {
    auto* data = new QMimeData;
    data->setData("private.table-row", "3\n-1\n1\n \n+2\n99\n1\nx");
    EXPECT_EQ(drop(data, gapPoint(0)), std::make_pair(true, true));
    EXPECT_EQ(order(), "BDACE");
}

TEST_F(DragDropTest, DropNextToItselfStillSavesAndRenumbers) {
    // The hand-written list is not in the program's own form, so the first save rewrites it;
    // the second finds the same content and leaves the file alone.
    const uint64_t written = listsWritten();
    EXPECT_EQ(dropRows({2}, 2), "ABCDE");
    vc().listStore().waitForIdle();
    EXPECT_EQ(listsWritten(), written + 1);
    EXPECT_EQ(dropRows({2}, 3), "ABCDE");
    vc().listStore().waitForIdle();
    EXPECT_EQ(listsWritten(), written + 1);
    setTag(cell(1, 4)->cxPlayButton(), 0);
    dropRows({4}, 5);
    EXPECT_EQ(tagOf(cell(1, 4)->cxPlayButton()), 4);
}

TEST_F(DragDropTest, DropOnARowAndForeignDragsAreRefused) {
    // Hovering: a line marks the gap, and nothing is marked over the middle of a row.
    std::unique_ptr<QMimeData> data(rowsDrag({0}));
    QDragEnterEvent enter(gapPoint(2), Qt::MoveAction, data.get(), Qt::LeftButton, {});
    QApplication::sendEvent(table().viewport(), &enter);
    QDragMoveEvent overGap(gapPoint(2), Qt::MoveAction, data.get(), Qt::LeftButton, {});
    QApplication::sendEvent(table().viewport(), &overGap);
    auto* line = table().viewport()->findChild<QWidget*>("dropIndicator");
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line->isVisible());
    EXPECT_NEAR(line->geometry().center().y(), table().rowViewportPosition(2), 2);
    QDragMoveEvent overRow(rowMiddle(2), Qt::MoveAction, data.get(), Qt::LeftButton, {});
    QApplication::sendEvent(table().viewport(), &overRow);
    EXPECT_FALSE(overRow.isAccepted());
    EXPECT_FALSE(line->isVisible());

    EXPECT_EQ(drop(rowsDrag({0}), rowMiddle(2)), std::make_pair(false, false));
    EXPECT_EQ(order(), "ABCDE");
    auto* text = new QMimeData;
    text->setText("3");
    text->setUrls({QUrl::fromLocalFile("/tmp/x.wav")});
    EXPECT_EQ(drop(text, gapPoint(0)), std::make_pair(false, false));
    EXPECT_EQ(order(), "ABCDE");
}

TEST_F(DragDropTest, AfterADropTheListFileLabelsAndTagsFollowTheRows) {
    ASSERT_EQ(dropRows({0, 2}, 5), "BDEAC");
    std::string savedOrder;
    for (auto& c : saved()) savedOrder += c["audioTitle"].get<std::string>();
    EXPECT_EQ(savedOrder, "BDEAC");

    // The numbers are the cues' own, and travel with them.
    QString numbers;
    for (int row = 0; row < 5; ++row) numbers += cell(0, row)->cxIndex()->text();
    EXPECT_EQ(numbers, "24513");
    for (int row = 0; row < 5; ++row) {
        EXPECT_EQ(tagOf(cell(1, row)->cxPlayButton()), row);
        EXPECT_EQ(tagOf(cell(6, row)->cxEditButton()), row);
    }
    // Row 3 now shows A: its volume slider and play button act on A.
    slide(cell(5, 3)->cxVolumeSlider(), 0.5);
    EXPECT_FLOAT_EQ(cueAt(3).volumeLevel, 0.5f);
    EXPECT_EQ(cueAt(3).audioTitle, "A");
    EXPECT_FLOAT_EQ(saved()[3]["volumeLevel"].get<float>(), 0.5f);
    click(3);
    EXPECT_TRUE(playing(3));
    EXPECT_FALSE(playing(0));
    rename(4, "C2");
    EXPECT_EQ(order(), "BDEAC2");

    // One drag of the volume is one step. Undo walks back the drag, the rename, the volume and
    // the drop, the list file after each, and A plays on wherever it goes.
    DoubleSlider* volume = cell(5, 3)->cxVolumeSlider();
    volume->setSliderDown(true);
    for (double level : {0.4, 0.3, 0.2}) slide(volume, level);
    volume->setSliderDown(false);
    QAction* undo = window_->findChild<QAction*>("actionUndo");
    QAction* redo = window_->findChild<QAction*>("actionRedo");
    ASSERT_TRUE(undo && redo);
    const std::vector<std::tuple<QString, std::string, float>> steps = {{"Volume", "BDEAC2", 0.5f},
                                                                        {"Rename", "BDEAC", 0.5f},
                                                                        {"Volume", "BDEAC", 1.0f},
                                                                        {"Move", "ABCDE", 1.0f}};
    for (const auto& [name, titles, level] : steps) {
        EXPECT_EQ(undo->text().remove('&'), "Undo " + name);
        undo->trigger();
        EXPECT_EQ(shownOrder(), titles);
        EXPECT_EQ(saved()[int(titles.find('A'))]["volumeLevel"].get<float>(), level) << titles;
    }
    EXPECT_FALSE(undo->isEnabled());
    EXPECT_TRUE(playing(0));
    while (redo->isEnabled()) redo->trigger();
    EXPECT_EQ(shownOrder(), "BDEAC2");
    EXPECT_FLOAT_EQ(saved()[3]["volumeLevel"].get<float>(), 0.2f);
    EXPECT_FLOAT_EQ(cueAt(3).player->volume(), 0.2f);
    EXPECT_TRUE(playing(3));
}

}  // namespace
