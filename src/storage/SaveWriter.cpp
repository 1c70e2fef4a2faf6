#include "storage/SaveWriter.h"

#include <QThreadPool>

SaveWriter::SaveWriter(WriteFn write) : write_(std::move(write)) {
    pool_.setMaxThreadCount(1);
}

SaveWriter::~SaveWriter() {
    waitForIdle();
}

void SaveWriter::submit(std::string text) {
    std::lock_guard lock(mutex_);
    pending_ = std::move(text);
    if (running_) return;  // the running drain picks it up
    running_ = true;
    pool_.start([this] { drain(); });
}

void SaveWriter::drain() {
    for (;;) {
        std::string text;
        {
            std::lock_guard lock(mutex_);
            if (!pending_) {
                running_ = false;
                idle_.notify_all();
                return;
            }
            text = std::move(*pending_);
            pending_.reset();
        }
        write_(text);
        std::lock_guard lock(mutex_);
        ++writesDone_;
    }
}

void SaveWriter::waitForIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return !running_ && !pending_; });
}

bool SaveWriter::isIdle() const {
    std::lock_guard lock(mutex_);
    return !running_ && !pending_;
}

uint64_t SaveWriter::writesDone() const {
    std::lock_guard lock(mutex_);
    return writesDone_;
}
