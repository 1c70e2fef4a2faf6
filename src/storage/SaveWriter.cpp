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

void SaveWriter::submitAfter(Task task) {
    {
        std::lock_guard lock(mutex_);
        pendingTask_ = std::move(task);
    }
    work_.notify_one();
}

void SaveWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return pending_ || pendingTask_ || stopping_; });
        if (!pending_ && !pendingTask_) return;
        running_ = true;
        if (pending_) {
            std::string text = std::move(*pending_);
            pending_.reset();
            lock.unlock();
            write_(text);
            lock.lock();
            ++writesDone_;
        } else {
            Task task = std::move(pendingTask_);
            pendingTask_ = nullptr;
            lock.unlock();
            task();
            lock.lock();
        }
        running_ = false;
        if (!pending_ && !pendingTask_) idle_.notify_all();
    }
}

void SaveWriter::waitForIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return !running_ && !pending_ && !pendingTask_; });
}

bool SaveWriter::isIdle() const {
    std::lock_guard lock(mutex_);
    return !running_ && !pending_ && !pendingTask_;
}

uint64_t SaveWriter::writesDone() const {
    std::lock_guard lock(mutex_);
    return writesDone_;
}
