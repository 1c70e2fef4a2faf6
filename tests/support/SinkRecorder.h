#pragma once

#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "support/TestFiles.h"

// Records a sound-server sink's monitor as float stereo at 48 kHz (or in the channel map given).
// Starting parec can take a second on a loaded machine, so start() returns only once samples flow.
class SinkRecorder {
public:
    explicit SinkRecorder(QString file, QString sink = "soundbox", QStringList channelMap = {})
        : file_(std::move(file)), sink_(std::move(sink)), map_(std::move(channelMap)) {}
    bool start() {
        recorder_.setStandardOutputFile(file_);
        // 1 ms fragments: a server taking back sound it mixed ahead, to start a stream at
        // once, cannot take back a fragment its recorder already has.
        QStringList args{
            "-d",           sink_ + ".monitor", "--raw", "--latency-msec=1", "--format=float32le",
            "--rate=48000", "--channels=2"};
        if (!map_.isEmpty())
            args.back() = QString("--channels=%1").arg(map_.size()),
            args << "--channel-map=" + map_.join(',');
        recorder_.start("parec", args);
        if (!recorder_.waitForStarted()) return false;
        for (int i = 0; i < 100; ++i) {
            if (QFileInfo(file_).size() > 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    std::vector<float> stop() {
        recorder_.terminate();
        recorder_.waitForFinished();
        const std::string raw = testfiles::readAll(file_.toStdString());
        std::vector<float> samples(raw.size() / sizeof(float));
        std::memcpy(samples.data(), raw.data(), samples.size() * sizeof(float));
        return samples;
    }

private:
    QString file_;
    QString sink_;
    QStringList map_;
    QProcess recorder_;
};
