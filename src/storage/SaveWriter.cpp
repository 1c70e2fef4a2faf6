#include "storage/SaveWriter.h"

SaveWriter::SaveWriter(WriteFn write) : write_(std::move(write)), thread_([this] { run(); }) {}

SaveWriter::~SaveWriter() {
    waitForIdle();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    thread_.join();
}

void SaveWriter::submit(std::string text) {
    {
        std::lock_guard lock(mutex_);
        pending_ = std::move(text);
    }
    work_.notify_one();
}

void SaveWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return pending_ || stopping_; });
        if (!pending_) return;
        std::string text = std::move(*pending_);
        pending_.reset();
        running_ = true;
        lock.unlock();
        write_(text);
        lock.lock();
        running_ = false;
        ++writesDone_;
        if (!pending_) idle_.notify_all();
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
