#include "remote/ProblemTally.h"

#include <QLocale>
#include <QStringList>

ProblemTally::ProblemTally(QString prefix, std::function<void(const QString&)> tell)
    : prefix_(std::move(prefix)), tell_(std::move(tell)) {}

void ProblemTally::add(const QString& kind, const std::function<QString()>& detail,
                       Clock::time_point now) {
    if (heldBack_.empty() && (!toldEver_ || now - lastTold_ >= kWindow)) {
        toldEver_ = true;
        lastTold_ = now;
        const QString text = detail();
        tell_(prefix_.isEmpty() ? text : QStringLiteral("%1: %2").arg(prefix_, text));
        return;
    }
    if (heldBack_.empty()) firstHeldBack_ = detail();
    ++heldBack_[kind];
}

std::chrono::milliseconds ProblemTally::flush(Clock::time_point now) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    if (heldBack_.empty()) return milliseconds(-1);
    const auto due = lastTold_ + kWindow;
    if (now < due)
        return std::max(milliseconds(1), duration_cast<milliseconds>(due - now) + milliseconds(1));
    long total = 0;
    QStringList kinds;
    const QLocale locale(QLocale::English);
    for (const auto& [kind, count] : heldBack_) {
        total += count;
        kinds << QStringLiteral("%1 %2").arg(locale.toString(qlonglong(count)), kind);
    }
    tell_(QStringLiteral("%1: %2 more ignored in the last second (%3); the first: %4")
              .arg(prefix_.isEmpty() ? QStringLiteral("Remote control") : prefix_,
                   locale.toString(qlonglong(total)), kinds.join(QStringLiteral(", ")),
                   firstHeldBack_));
    heldBack_.clear();
    lastTold_ = now;
    return milliseconds(-1);
}
