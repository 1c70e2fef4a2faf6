#pragma once

#include <QString>
#include <chrono>
#include <functional>
#include <map>

// Problems with what arrives from outside, told to the operator without drowning the message
// area: the first one in a quiet second is told at once in full, the rest of that second are
// counted and told as one line when the second is over. A flood of 100,000 bad packets a second
// so costs one line a second. Used by one thread at a time.
class ProblemTally {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kWindow{1000};

    // `prefix` starts every line ("OSC"; none when the details carry their own); `tell` receives
    // each line (MessageLog and the standard output in the program, a list in tests).
    ProblemTally(QString prefix, std::function<void(const QString&)> tell);

    // `kind` groups the counts ("unknown address"); `detail` says which one it was. The detail
    // is only written out when it will be told: in a flood, formatting every packet's
    // description would cost more than reading the packet.
    void add(const QString& kind, const std::function<QString()>& detail,
             Clock::time_point now = Clock::now());
    void add(const QString& kind, const QString& detail, Clock::time_point now = Clock::now()) {
        add(
            kind, [&detail] { return detail; }, now);
    }
    // Tells what was held back once its second is over. Returns how long until that is due, or
    // a negative duration when nothing is held back.
    std::chrono::milliseconds flush(Clock::time_point now = Clock::now());

private:
    QString prefix_;
    std::function<void(const QString&)> tell_;
    Clock::time_point lastTold_{};
    bool toldEver_ = false;
    std::map<QString, long> heldBack_;
    QString firstHeldBack_;
};
