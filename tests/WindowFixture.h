#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "model/CXAudio.h"
#include "support/TempHome.h"
#include "support/TestFiles.h"
#include "window/CXTableCell.h"
#include "window/MainWindow.h"

// A real main window on a list file and generated audio in a private HOME. These tests delete
// the storage folder and rewrite the list file: they stop before anything else when the
// Documents folder the program would use is not the private one.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home_.isValid());
        ASSERT_TRUE(home_.isolated()) << home_.isolationProblem();
        documents_ = home_.docs();
        std::filesystem::create_directories(documents_ + "/audio");
    }

    void TearDown() override {
        window_.reset();
        // Let pending fade completions and delayed starts of this test run out harmlessly.
        QTest::qWait(20);
    }

    // A quiet tone of `seconds` in the storage folder.
    std::string audioFile(const std::string& name, double seconds) {
        testfiles::writeToneWav(documents_ + "/audio/" + name, 48000, seconds, 440.0, 0.1f);
        return name;
    }

    static nlohmann::json cue(const std::string& fileName, nlohmann::json options = {}) {
        nlohmann::json c = {{"fileName", fileName}, {"audioTitle", fileName}};
        for (auto& [key, value] : options.items()) c[key] = value;
        return c;
    }

    void writeList(const std::vector<nlohmann::json>& cues) {
        testfiles::writeAll(documents_ + "/cuevox.json", nlohmann::json(cues).dump(2));
    }

    void open(int width = 1000, int height = 600) {
        window_ = std::make_unique<MainWindow>();
        window_->resize(width, height);
        window_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
        table().syncCells();
    }

    ViewController& vc() { return window_->controller(); }
    // The list file, and how many times it was written, once the background writer is idle.
    std::string savedList() {
        if (window_) vc().listStore().waitForIdle();
        return testfiles::readAll(documents_ + "/cuevox.json");
    }
    uint64_t listsWritten() {
        vc().listStore().waitForIdle();
        return vc().listStore().filesWritten();
    }
    CueTableView& table() { return *vc().audioTable(); }
    CXAudio& cueAt(int row) { return *vc().cxList.at(std::size_t(row)); }
    bool playing(int row) { return cueAt(row).player->isPlaying(); }

    QPushButton* playButton(int row) {
        CXTableCell* cell = table().viewAtColumn(1, row);
        return cell ? cell->cxPlayButton() : nullptr;
    }
    QString titleOf(int row) {
        QPushButton* button = playButton(row);
        return button ? button->text() : QStringLiteral("<no cell>");
    }
    QString startTextOf(int row) {
        CXTableCell* cell = table().viewAtColumn(4, row);
        return cell && cell->cxStartTime() ? cell->cxStartTime()->text() : QString();
    }
    double positionSliderOf(int row) {
        CXTableCell* cell = table().viewAtColumn(4, row);
        return cell && cell->cxLengthSlider() ? cell->cxLengthSlider()->doubleValue() : -1.0;
    }
    // A show opens with its first cue selected; for what happens with none.
    void selectNothing() { table().selectRowIndexes({}, false); }
    void click(int row) {
        QPushButton* button = playButton(row);
        ASSERT_NE(button, nullptr) << "row " << row << " has no cell";
        button->click();
    }

    template <typename Pred>
    static bool waitFor(Pred pred, int timeoutMs) {
        return QTest::qWaitFor(pred, timeoutMs);
    }

    TempHome home_;
    std::string documents_;
    std::unique_ptr<MainWindow> window_;
};

using SteadyClock = std::chrono::steady_clock;
inline double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}
