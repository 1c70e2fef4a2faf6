#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// Writes list texts off the GUI thread, one at a time. A text submitted while another is being
// written waits; a newer submission replaces a waiting one, so the last text submitted is always
// the last one written and a stale snapshot never lands on top of a newer one. A task handed
// over with submitAfter runs once the text waiting with it is written (a newer task replaces a
// waiting one too).
class SaveWriter {
public:
    using WriteFn = std::function<void(const std::string& text)>;
    using Task = std::function<void()>;

    explicit SaveWriter(WriteFn write);
    // Waits for the writes already submitted: nothing is lost at exit.
    ~SaveWriter();
    SaveWriter(const SaveWriter&) = delete;
    SaveWriter& operator=(const SaveWriter&) = delete;

    void submit(std::string text);
    void submitAfter(Task task);
    // Blocks until every submitted text has been written or superseded.
    void waitForIdle();
    bool isIdle() const;
    // How many texts were actually handed to the write function.
    uint64_t writesDone() const;

private:
    void run();

    WriteFn write_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::condition_variable work_;
    std::optional<std::string> pending_;
    Task pendingTask_;
    bool running_ = false;
    bool stopping_ = false;
    uint64_t writesDone_ = 0;
    // Its own thread, so a save never waits behind unrelated work in a shared pool. A plain
    // std::thread rather than a Qt pool: the thread sanitizer sees every hand-over and join.
    // Declared last: started once everything it uses exists.
    std::thread thread_;
};
