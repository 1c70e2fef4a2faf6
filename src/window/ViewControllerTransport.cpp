#include <QPushButton>
#include <algorithm>
#include <iostream>

#include "model/CXAudio.h"
#include "platform/MainQueue.h"
#include "window/CXTableCell.h"
#include "window/ViewController.h"

void ViewController::playClick(QObject* sender) {
    const int row = tagOf(sender);
    if (!hasRow(row)) return;
    const CXAudio& cue = *cxList[std::size_t(row)];
    if (cue.fadingIn) {
        startCue(row);
    } else if (cue.fadingOut) {
        stopCue(row);
    } else if (cue.player && cue.player->isPlaying()) {
        stopCue(row);
    } else {
        startCue(row);
    }
}

void ViewController::startCue(int row) {
    // A delayed start can outlive the row it was meant for; it never reaches past the list.
    if (!hasRow(row)) return;
    const std::shared_ptr<CXAudio> cue = cxList[std::size_t(row)];
    if (cue->fadeIn) {
        setPlayButtonTitle(row, QStringLiteral("Fading"));
        cue->fadeInToggle(row, this);
    } else {
        setPlayButtonTitle(row, QStringLiteral("Stop"));
        cue->playClick();
    }
    setScrubbing(true);

    const bool hasNext = hasRow(row + 1);
    if (cue->moveSelection && hasNext && audioTable_)
        audioTable_->selectRowIndexes({row + 1}, false);

    if (cue->extendPlay && hasNext) {
        std::cout << cue->extendDelay << std::endl;
        // No delay starts the next cue inside this one's start, so a run of cues chained
        // without delay begins in the same event, in list order.
        if (cue->extendDelay == 0.0) {
            startCue(row + 1);
        } else {
            scheduleNextStart(row, cue->extendDelay);
        }
    }
}

void ViewController::scheduleNextStart(int row, double delay) {
    // The work holds the row number, not the cue: it starts whatever cue follows that row when
    // it fires, as the operator sees the list then. Its context marks it pending until then.
    auto* pending = new QObject(pendingWork_);
    pending->setObjectName(kDelayedStart);
    MainQueue::runAfter(delay, pending, [this, row, pending] {
        delete pending;
        startCue(row + 1);
    });
}

bool ViewController::showInProgress() const {
    const auto sounding = [](const auto& cue) { return cue->player && cue->player->isPlaying(); };
    return std::any_of(cxList.begin(), cxList.end(), sounding) ||
           (pendingWork_ &&
            pendingWork_->findChild<QObject*>(kDelayedStart, Qt::FindDirectChildrenOnly));
}

void ViewController::stopCue(int row) {
    if (!hasRow(row)) return;
    const std::shared_ptr<CXAudio> cue = cxList[std::size_t(row)];
    if (cue->fadeOut) {
        setPlayButtonTitle(row, QStringLiteral("Fading"));
        cue->fadeOutToggle(row, this);
        return;
    }
    cue->stopClick();
    showRowStopped(row, cue->startTime);
}

void ViewController::showRowStopped(int row, double sliderValue) {
    if (!hasRow(row) || !audioTable_) return;
    const CXAudio& cue = *cxList[std::size_t(row)];
    setPlayButtonTitle(row, QStringLiteral("Play"));
    if (auto* cell = audioTable_->viewAtColumn(4, row)) {
        if (auto* start = cell->cxStartTime()) start->setText(formatTime(cue.startTime));
        if (auto* slider = cell->cxLengthSlider()) slider->setDoubleValue(sliderValue);
    }
}

void ViewController::resetRowDisplay(int row) {
    if (!hasRow(row)) return;
    showRowStopped(row, cxList[std::size_t(row)]->startTime);
}

void ViewController::finishCue(int row) {
    if (!hasRow(row)) return;
    const std::shared_ptr<CXAudio> cue = cxList[std::size_t(row)];
    if (cue->persistThrough && hasRow(row + 1)) {
        if (cue->persistDelay == 0.0) {
            startCue(row + 1);
        } else {
            scheduleNextStart(row, cue->persistDelay);
        }
    }
    resetRowDisplay(row);
}

void ViewController::stopAllButton(QObject*) {
    for (int row = 0; hasRow(row); ++row) {
        const std::shared_ptr<CXAudio> cue = cxList[std::size_t(row)];
        if (!cue->player || !cue->player->isPlaying()) continue;
        if (cue->fadeOut) {
            setPlayButtonTitle(row, QStringLiteral("Fading"));
            cue->fadeOutToggle(row, this);
        } else {
            cue->stopClick();
            showRowStopped(row, cue->startTime);
        }
    }
}

void ViewController::audioPlayerDidFinishPlaying(AudioPlayer* player, bool) {
    if (!player) return;
    for (int row = 0; hasRow(row); ++row)
        if (cxList[std::size_t(row)]->player.get() == player) finishCue(row);
}

void ViewController::timerUpdate() {
    if (cxList.empty()) {
        setScrubbing(false);
        return;
    }
    std::vector<std::weak_ptr<CXAudio>> stillStopping;
    bool anyPlaying = false;
    for (int row = 0; hasRow(row); ++row) {
        // Runs 100 times a second over the whole list: idle rows cost one check and no
        // reference count traffic.
        AudioPlayer* player = cxList[std::size_t(row)]->player.get();
        if (!player || !player->isPlaying()) continue;
        anyPlaying = true;
        const std::shared_ptr<CXAudio> cue = cxList[std::size_t(row)];

        const double position = player->currentTime();
        if (audioTable_) {
            if (auto* cell = audioTable_->viewAtColumn(4, row)) {
                // The operator's hand on the handle wins over the running position.
                auto* slider = cell->cxLengthSlider();
                if (slider && !slider->isSliderDown()) slider->followValue(position);
                if (auto* start = cell->cxStartTime()) showTime(start, position);
            }
        }

        const bool cutEnd = cue->endTime != player->duration();
        if (cue->fadeOut && !cue->fadingOut) {
            if (cue->endTime <= player->currentTime() + cue->fadeOutLength) {
                cue->fadeOutToggle(row, this);
                setPlayButtonTitle(row, QStringLiteral("Fading"));
            }
        } else if (!cue->fadeOut) {
            if (cutEnd && player->currentTime() >= cue->endTime) {
                cue->stopClick();
                showRowStopped(row, 0.0);
            }
        } else if (cutEnd && player->currentTime() >= cue->endTime) {
            // The fade-out is still running past the cut end. Its stop ramps and schedules a
            // reset of its own; repeating it on every pass would pile up resets that could stop
            // the cue again if the operator restarts it soon after.
            const bool alreadyStopped =
                std::any_of(cutEndStopped_.begin(), cutEndStopped_.end(),
                            [&](const std::weak_ptr<CXAudio>& c) { return c.lock() == cue; });
            if (!alreadyStopped) {
                cue->stopClick();
                showRowStopped(row, 0.0);
            }
            stillStopping.push_back(cue);
        }
    }
    // A cue leaves the record once its fade is over or it no longer plays, so the next fade of
    // the same cue gets its stop again.
    cutEndStopped_ = std::move(stillStopping);
    setScrubbing(anyPlaying);
}

void ViewController::setScrubbing(bool playing) {
    if (!scrubTimer) return;
    // A pass with nothing playing neither shows nor checks anything, and every start comes
    // through startCue, which brings the timer back: an idle show costs no wake-ups at all.
    if (!playing) {
        scrubTimer->stop();
    } else if (!scrubTimer->isActive()) {
        scrubTimer->start();
    }
}

void ViewController::goMenuButton() {
    if (lastGo_.isValid() && lastGo_.elapsed() < kGoGuardMs) return;
    const int row = audioTable_->selectedRow();
    if (!hasRow(row)) return;
    lastGo_.start();
    if (cxList[size_t(row)]->player->isPlaying()) return;
    startCue(row);
}

void ViewController::stopAllMenuButton() {
    stopAllButton(nullptr);
}
