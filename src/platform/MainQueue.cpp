#include "platform/MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>
#include <climits>
#include <cmath>

namespace MainQueue {

namespace {
QObject* orApplication(QObject* context) {
    return context ? context : QCoreApplication::instance();
}
}  // namespace

int delayMilliseconds(double seconds) {
    if (!(seconds > 0.0)) return 0;
    // 0.3 s is 300.00000000000006 ms in binary; without the tolerance it would wait 301 ms.
    const double ms = std::ceil(seconds * 1000.0 - 1e-6);
    if (ms >= double(INT_MAX)) return INT_MAX;
    return int(ms);
}

void runAfter(double seconds, QObject* context, std::function<void()> fn) {
    QTimer::singleShot(delayMilliseconds(seconds), Qt::PreciseTimer, orApplication(context),
                       std::move(fn));
}

void runAsync(QObject* context, std::function<void()> fn) {
    QMetaObject::invokeMethod(orApplication(context), std::move(fn), Qt::QueuedConnection);
}

}  // namespace MainQueue
