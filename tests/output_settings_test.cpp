#include <gtest/gtest.h>

#include <QtTest/qtestspontaneevent.h>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include "app/OutputSettings.h"
#include "app/SettingsViewController.h"

namespace {

class OutputSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    }
    static QSettings settings() { return QSettings(); }

    // The widget probes the outputs on its own; wait for that before showing a list by hand.
    static void waitForProbe(OutputSettings& widget) {
        QSignalSpy listed(&widget, &OutputSettings::outputsListed);
        ASSERT_TRUE(listed.wait(10000));
    }

    QTemporaryDir config;
};

TEST_F(OutputSettingsTest, TheSettingsViewOffersTheSystemDefaultFirst) {
    SettingsViewController view;
    auto* outputs = view.findChild<OutputSettings*>();
    ASSERT_TRUE(outputs);
    waitForProbe(*outputs);
    ASSERT_GE(outputs->outputBox()->count(), 1);
    EXPECT_EQ(outputs->outputBox()->itemText(0), "System default");
    EXPECT_EQ(outputs->outputBox()->itemData(0).toString(), "");
    EXPECT_EQ(outputs->outputBox()->currentIndex(), 0);
    EXPECT_EQ(outputs->latencyBox()->count(), int(OutputSettings::latencies().size()));
}

TEST_F(OutputSettingsTest, AChoiceIsKeptAndAMissingOneStaysListed) {
    {
        OutputSettings widget;
        waitForProbe(widget);
        widget.showOutputs(
            {{"", "System default"}, {"pulse:hall", "Hall"}, {"pulse:foyer", "Foyer"}});
        // Neither a wheel turn over the list nor an arrow key in it moves the show to another
        // output; Return (or Apply) does.
        QWheelEvent wheel({}, {}, {}, {0, -120}, {}, {}, Qt::NoScrollPhase, false);
        QSpontaneKeyEvent::setSpontaneous(&wheel);
        qApp->notify(widget.outputBox(), &wheel);
        EXPECT_EQ(widget.outputBox()->currentIndex(), 0);
        QTest::keyClick(widget.outputBox(), Qt::Key_Down);
        widget.latencyBox()->setCurrentIndex(0);
        EXPECT_EQ(settings().value("output/device").toString(), "");
        QTest::keyClick(widget.outputBox(), Qt::Key_Return);
    }
    EXPECT_EQ(settings().value("output/device").toString(), "pulse:hall");
    const OutputChoice choice = OutputSettings::savedChoice();
    EXPECT_EQ(choice.device, "pulse:hall");
    EXPECT_EQ(choice.latencyFrames, OutputSettings::latencies()[0].ms * 48);

    // Next time the hall's sink is gone: the choice is shown as missing, not silently changed.
    OutputSettings widget;
    waitForProbe(widget);
    widget.showOutputs({{"", "System default"}, {"pulse:foyer", "Foyer"}});
    EXPECT_EQ(widget.outputBox()->currentData().toString(), "pulse:hall");
    EXPECT_TRUE(widget.outputBox()->currentText().contains("not available"));
    EXPECT_EQ(widget.latencyBox()->currentIndex(), 0);
    EXPECT_EQ(settings().value("output/device").toString(), "pulse:hall");
}

}  // namespace
