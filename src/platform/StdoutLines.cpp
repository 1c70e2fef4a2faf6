#include "platform/StdoutLines.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

namespace stdoutlines {
namespace {

struct Writer {
    std::mutex mutex;
    std::condition_variable wake, done;
    std::deque<std::string> lines;
    bool writing = false;
    long dropped = 0;

    Writer() {
        // Never joined: at exit it may be stuck on a pipe nobody reads, and nothing waits
        // for it then.
        std::thread([this] { run(); }).detach();
    }

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return !lines.empty() || dropped > 0; });
            std::deque<std::string> batch;
            batch.swap(lines);
            const long lost = dropped;
            dropped = 0;
            writing = true;
            lock.unlock();
            for (const std::string& line : batch) std::cout << line << '\n';
            if (lost > 0) std::cout << lost << " lines of output dropped\n";
            std::cout.flush();
            lock.lock();
            writing = false;
            done.notify_all();
        }
    }
};

Writer& writer() {
    // Leaked on purpose: the thread outlives every static destructor.
    static Writer* w = new Writer;
    return *w;
}

}  // namespace

void write(std::string line) {
    Writer& w = writer();
    {
        std::lock_guard lock(w.mutex);
        if (int(w.lines.size()) >= kMaxQueued)
            ++w.dropped;
        else
            w.lines.push_back(std::move(line));
    }
    w.wake.notify_one();
}

bool drain(int timeoutMs) {
    Writer& w = writer();
    std::unique_lock lock(w.mutex);
    return w.done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&w] { return w.lines.empty() && w.dropped == 0 && !w.writing; });
}

}  // namespace stdoutlines
