#pragma once

#include <QPointer>
#include <QString>
#include <memory>

#include "app/SingleInstance.h"

class QWidget;

// The single-instance guard of the show in use, moved to the next show's list file before
// that show is opened: two different shows run in two processes at once, one show in one.
class ShowLock {
public:
    // Takes over the guard the start claimed.
    explicit ShowLock(std::unique_ptr<SingleInstance> held) : held_(std::move(held)) {}

    // Claims `listFile`'s guard and lets go of the one held. False, with why, when another
    // process runs that show (its window is asked to come forward); the held guard stays then.
    bool move(const QString& listFile, QString* why);
    // The window a later start on the show in use brings forward.
    void setWindow(QWidget* window);
    SingleInstance& held() { return *held_; }

private:
    std::unique_ptr<SingleInstance> held_;
    QPointer<QWidget> window_;
};
