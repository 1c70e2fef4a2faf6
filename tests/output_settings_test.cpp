#include <gtest/gtest.h>

#include <cstdlib>

#include <QtTest/qtestspontaneevent.h>
#include <QCheckBox>
#include <QComboBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include "WindowFixture.h"
#include "app/AppDelegate.h"
#include "app/DisplaySettings.h"
#include "app/OutputPatchSettings.h"
#include "app/OutputSettings.h"
#include "app/SettingsViewController.h"
#include "widgets/LevelMeter.h"
#include "widgets/OutputMeters.h"
#include "window/Appearance.h"

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

// The settings' patch and the main window's meters, with the window's own engine.
class OutputPatchWindowTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    }
    QTemporaryDir config;
    AppDelegate delegate;
};

TEST_F(OutputPatchWindowTest, NamesAndPatchAreKeptAndTheWindowHearsOfThem) {
    writeList({cue(audioFile("a.wav", 3.0))});
    open();
    OutputMeters* meters = window_->outputMeters();
    ASSERT_EQ(meters->count(), 2);  // the silent clock's, or a stereo device's
    QPointer<SettingsViewController> settings = delegate.showSettings(window_.get());
    OutputPatchSettings* page = settings->outputPatch();
    ASSERT_EQ(page->outputCount(), 2);
    QTest::keyClicks(page->nameField(1), "Stage L");
    QTest::keyClick(page->nameField(1), Qt::Key_Return);
    EXPECT_EQ(page->channelBox(2)->currentData().toInt(), 1);
    QTest::keyClick(page->channelBox(2), Qt::Key_Up);  // to the first channel
    EXPECT_EQ(meters->label(0), "Stage L, 2");
    EXPECT_EQ(meters->label(1),
              QString::fromStdString(AudioEngine::shared().outputChannelNames()[1]));
    // A name still being typed when the settings close is kept too.
    QTest::keyClicks(page->nameField(2), "Foyer");

    settings->close();
    ASSERT_TRUE(waitFor([&] { return settings.isNull(); }, 2000));
    EXPECT_EQ(meters->label(0), "Stage L, Foyer");
    const OutputPatch saved = OutputPatch::saved();
    EXPECT_EQ(saved.name(1), "Stage L");
    EXPECT_EQ(saved.name(2), "Foyer");
    EXPECT_EQ(saved.channel(1), 0);
    EXPECT_EQ(saved.channel(2), 0);
    page = delegate.showSettings(window_.get())->outputPatch();
    EXPECT_EQ(page->nameField(1)->text(), "Stage L");
    EXPECT_EQ(page->nameField(2)->text(), "Foyer");
    EXPECT_EQ(page->channelBox(2)->currentData().toInt(), 0);
    // Still typing as the program ends: the name is kept, and the window, half gone by
    // then, is not told.
    QTest::keyClicks(page->nameField(2), " Bar");
    window_.reset();
    EXPECT_EQ(OutputPatch::saved().name(2), "Foyer Bar");

    // Another device: the list grows to its channels, and what was set stays.
    std::vector<std::string> channels{"aux0", "aux1", "aux2", "aux3"};
    OutputPatchSettings other(nullptr, [&] { return channels; });
    ASSERT_EQ(other.outputCount(), 4);
    EXPECT_EQ(other.nameField(2)->text(), "Foyer Bar");
    EXPECT_EQ(other.channelBox(4)->currentText(), "4 aux3");
    channels.resize(3);
    other.followDevice();
    EXPECT_EQ(other.outputCount(), 3);
}

TEST_F(OutputPatchWindowTest, DisplayChoicesApplyAtOnceAndAreKeptForTheNextWindow) {
    writeList({cue(audioFile("a.wav", 3.0))});
    open();
    const double normalPoints = QApplication::font().pointSizeF();
    const int normalLightness = QApplication::palette().color(QPalette::Window).lightness();
    DisplaySettings* page = delegate.showSettings(window_.get())->findChild<DisplaySettings*>();
    ASSERT_NE(page, nullptr);
    EXPECT_FALSE(page->darkTheme()->isChecked());
    page->darkTheme()->click();
    page->textSize()->setCurrentIndex(page->textSize()->findData(150));
    page->rowTime()->setCurrentIndex(page->rowTime()->findData(true));
    auto expectApplied = [&] {
        EXPECT_LT(QApplication::palette().color(QPalette::Window).lightness(), 80);
        EXPECT_DOUBLE_EQ(QApplication::font().pointSizeF(), normalPoints * 1.5);
        EXPECT_EQ(table().rowHeight(0), 38);
        EXPECT_TRUE(Appearance::instance().rowsShowTimeLeft());
    };
    expectApplied();

    window_.reset();
    QApplication::setFont(QFont());
    open();
    expectApplied();
    page = delegate.showSettings(window_.get())->findChild<DisplaySettings*>();
    EXPECT_TRUE(page->darkTheme()->isChecked());
    EXPECT_EQ(page->textSize()->currentData().toInt(), 150);
    EXPECT_EQ(page->rowTime()->currentData().toBool(), true);
    page->darkTheme()->click();
    page->textSize()->setCurrentIndex(page->textSize()->findData(100));
    page->rowTime()->setCurrentIndex(0);
    EXPECT_EQ(QApplication::palette().color(QPalette::Window).lightness(), normalLightness);
    EXPECT_DOUBLE_EQ(QApplication::font().pointSizeF(), normalPoints);
}

TEST_F(OutputPatchWindowTest, ACueOnTheFirstChannelMovesOnlyItsMeter) {
    // The silent clock's blocks are heard nowhere and show no levels.
    if (!std::getenv("PULSE_SERVER"))
        GTEST_SKIP() << "no PulseAudio server (scripts/test.sh starts one)";
    writeList({cue(audioFile("a.wav", 3.0))});
    open();
    OutputMeters* meters = window_->outputMeters();
    ASSERT_EQ(meters->count(), 2);
    cueAt(0).player->setRoute(0, 0);
    click(0);
    ASSERT_TRUE(waitFor([&] { return meters->meter(0)->rmsDb() > -40.0f; }, 3000));
    EXPECT_GT(meters->meter(0)->peakDb(), -30.0f);
    EXPECT_EQ(meters->meter(1)->peakDb(), LevelMeter::kFloorDb);
    EXPECT_EQ(meters->meter(1)->rmsDb(), LevelMeter::kFloorDb);
    click(0);
    ASSERT_TRUE(waitFor([&] { return !playing(0); }, 3000));
    // Nothing sounds: the meters show nothing, and the display passes have stopped.
    EXPECT_TRUE(waitFor([&] { return !vc().scrubTimer->isActive(); }, 3000));
    EXPECT_EQ(meters->meter(0)->peakDb(), LevelMeter::kFloorDb);
    EXPECT_EQ(meters->meter(0)->rmsDb(), LevelMeter::kFloorDb);
}

}  // namespace
