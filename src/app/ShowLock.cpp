#include "app/ShowLock.h"

#include <QWidget>

#include "platform/MessageLog.h"

bool ShowLock::move(const QString& listFile, QString* why) {
    auto next = std::make_unique<SingleInstance>(listFile);
    switch (next->claim()) {
        case SingleInstance::Claim::Taken:
            // Short: the operator waits on it, and a running window answers at once.
            *why = next->callRunning(2000)
                       ? QStringLiteral("another Cuevox window runs it, and was brought forward")
                       : QStringLiteral("another Cuevox runs it, and did not answer");
            return false;
        case SingleInstance::Claim::Unguarded:
            MessageLog::instance().report(
                QStringLiteral("Another start on this show would not be stopped: %1")
                    .arg(next->problem()));
            break;
        case SingleInstance::Claim::Held:
            break;
    }
    next->setWindow(window_);
    // The old show's lock and socket go with it.
    held_ = std::move(next);
    return true;
}

void ShowLock::setWindow(QWidget* window) {
    window_ = window;
    held_->setWindow(window);
}
