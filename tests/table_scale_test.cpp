// A long show file: 2,000 cues open, scroll and idle without building a widget per cue.

#include "WindowFixture.h"
#include "support/TablePaging.h"
#include "window/Appearance.h"
#include "window/StandbyPanel.h"

namespace {

class TableScaleTest : public WindowFixture {
protected:
    // What the event loop does between two scroll events: layouts, deferred deletes.
    static void settle() {
        QApplication::processEvents();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

TEST_F(TableScaleTest, TwoThousandCuesOpenAndScrollOnReusedCells) {
    const std::string f = audioFile("tone.wav", 2.0);
    std::vector<nlohmann::json> cues;
    for (int i = 0; i < 2000; ++i)
        cues.push_back(cue(f, {{"audioTitle", "Cue " + std::to_string(i + 1)},
                               {"fadeIn", i % 3 == 0},
                               {"persistThrough", i % 2 == 0}}));
    writeList(cues);

    open(1000, 700);
    QApplication::processEvents();
    ASSERT_EQ(table().numberOfRows(), 2000);
    const int rowsInView = table().viewport()->height() / 25 + 2;
    EXPECT_LE(table().liveCellCount(), rowsInView * 7);

    // Page by page to the end and back, each step handled and drawn before the next.
    const PagingTimes paging = pageToTheEndAndBack(
        table(), settle, [&] { EXPECT_LE(table().liveCellCount(), rowsInView * 7); });
    EXPECT_GT(paging.steps, 2000 / rowsInView);
    EXPECT_LE(table().viewport()->children().size(), rowsInView * 7 + 8);
    EXPECT_EQ(titleOf(0), "Play");
    EXPECT_EQ(table().viewAtColumn(0, 0)->cxIndex()->text(), "1");
    // How long opening and paging take is measured by bench/scale_bench, not here: a shared
    // machine's load would make any bound either flaky or meaningless.
}

TEST_F(TableScaleTest, AtTwiceTheTextEveryCellAndThePanelShowItsControlsWhole) {
    writeList({cue(audioFile("tone.wav", 2.0), {{"audioTitle", "Thunder"}, {"notes", "Go"}})});
    Appearance::instance().setTextPercent(200);
    open(1400, 800);
    settle();
    auto expectWhole = [](QWidget* box, const char* where) {
        for (QWidget* part : box->findChildren<QWidget*>()) {
            if (part->isHidden() ||
                !(qobject_cast<QLabel*>(part) || qobject_cast<QAbstractButton*>(part) ||
                  qobject_cast<QLineEdit*>(part)))
                continue;
            const std::string name = where + (": " + part->objectName().toStdString());
            EXPECT_GE(part->height(), part->sizeHint().height()) << name;
            if (!qobject_cast<QLineEdit*>(part))
                EXPECT_GE(part->width(), part->minimumSizeHint().width()) << name;
            EXPECT_TRUE(box->rect().contains(QRect(part->mapTo(box, QPoint(0, 0)), part->size())))
                << name << " reaches out of its box";
        }
    };
    ASSERT_EQ(table().rowHeight(0), 50);
    for (int column = 0; column < CueTableView::kColumnCount; ++column) {
        CXTableCell* cell = table().viewAtColumn(column, 0);
        ASSERT_NE(cell, nullptr) << column;
        EXPECT_LE(cell->height(), table().rowHeight(0)) << column;
        expectWhole(cell, "cell");
    }
    expectWhole(window_->standbyPanel(), "standby");
    Appearance::instance().setTextPercent(100);
    EXPECT_EQ(table().rowHeight(0), 25);
}

}  // namespace
