#include <QPushButton>
#include <algorithm>
#include <sstream>
#include <string>

#include "audio/AudioEngine.h"
#include "audio/Mixer.h"
#include "model/CXAudio.h"
#include "platform/MainQueue.h"
#include "platform/MessageLog.h"
#include "platform/StdoutLines.h"
#include "window/Appearance.h"
#include "window/CXTableCell.h"
#include "window/TimeText.h"
#include "window/ViewController.h"

namespace {
// The delay as std::cout prints a double.
std::string delayLine(double seconds) {
    std::ostringstream text;
    text << seconds;
    return text.str();
}
}  // namespace

void ViewController::playClick(QObject* sender) {
    const int row = tagOf(sender);
    if (!hasRow(row)) return;
    CXAudio& cue = *cxList[std::size_t(row)];
    // The engine may have ended the run (a fade's or cut end's stop) before the window heard
    // of it: a cue that no longer sounds has no fade running, whatever its flags still say.
    if (cue.player && !cue.player->isPlaying()) cue.fadingIn = cue.fadingOut = false;
    // A paused row's button says "Paused": pressed, it goes on.
    if (isPaused(row)) {
        resumeCue(row);
    } else if (cue.fadingIn) {
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
    syncTimeline();
    const std::shared_ptr<CXAudio> cue = cxList[std::size_t(row)];
    if (cue->missing()) {
        MessageLog::instance().report(
            QStringLiteral("Cue %1 “%2” cannot play: its audio file “%3” is missing.")
                .arg(QString::fromStdString(cue->cueNumber),
                     QString::fromStdString(cue->audioTitle),
                     QString::fromStdString(cue->fileName)));
        return;
    }
    const bool newRun = !cue->player->isPlaying();
    lastStarted_ = cue;
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
        stdoutlines::write(delayLine(cue->extendDelay));
        // No delay starts the next cue inside this one's start, so a run of cues chained
        // without delay begins in the same event, in list order. A delay is counted by the
        // engine from this cue's first frame: the window may be busy when it runs out.
        if (cue->extendDelay == 0.0) {
            startCue(row + 1);
        } else {
            cue->player->followAfter(cue->extendDelay, newRun);
        }
    }
}

void ViewController::syncTimeline() {
    for (std::size_t i = 0; i < cxList.size(); ++i)
        cxList[i]->sendPlan(i + 1 < cxList.size() ? cxList[i + 1].get() : nullptr);
    applyRoutes();
}

void ViewController::cueStartedByEngine(int row, bool fadingIn) {
    // The engine started it (extend play, persist through): the row catches up, with the
    // start's own move selection and delay line.
    const std::shared_ptr<CXAudio> cue = cxList[std::size_t(row)];
    cue->startedByEngine(fadingIn, row, this);
    lastStarted_ = cue;
    setPlayButtonTitle(row, fadingIn ? QStringLiteral("Fading") : QStringLiteral("Stop"));
    setScrubbing(true);
    const bool hasNext = hasRow(row + 1);
    if (cue->moveSelection && hasNext && audioTable_)
        audioTable_->selectRowIndexes({row + 1}, false);
    if (cue->extendPlay && hasNext) stdoutlines::write(delayLine(cue->extendDelay));
}

void ViewController::audioPlayerTimeline(AudioPlayer* player, const EngineEvent& event) {
    if (!player) return;
    int row = 0;
    while (hasRow(row) && cxList[std::size_t(row)]->player.get() != player) ++row;
    if (!hasRow(row)) return;
    const std::shared_ptr<CXAudio> cue = cxList[std::size_t(row)];
    switch (event.type) {
        case EngineEvent::Type::Started:
            cueStartedByEngine(row, event.tracked);
            break;
        case EngineEvent::Type::FadeOutStarted:
            cue->autoFadeStarted(row, this);
            setPlayButtonTitle(row, QStringLiteral("Fading"));
            break;
        case EngineEvent::Type::CutEnd:
            // A cue without a fade-out stopped on its cut end's frame; one with a fade-out
            // fades on to silence there, and its row already shows it stopped.
            if (!cue->fadeOut) cue->resetPlayer();
            showRowStopped(row, 0.0);
            break;
        case EngineEvent::Type::FadeInDone:
        case EngineEvent::Type::FadeOutDone:
            cue->fadeEnded(event);
            break;
        case EngineEvent::Type::Ended:
            break;
    }
}

double ViewController::timeLeft(const CXAudio& cue, double position) {
    const double length = std::max(cue.endTime - cue.startTime, 0.0);
    const int64_t loops = cue.player ? cue.player->loopsLeft() : 0;
    return std::max(cue.endTime - position, 0.0) + (loops > 0 ? double(loops) * length : 0.0);
}

bool ViewController::showInProgress() const {
    const auto sounding = [](const auto& cue) { return cue->player && cue->player->isPlaying(); };
    return std::any_of(cxList.begin(), cxList.end(), sounding) ||
           AudioEngine::shared().mixer().pendingFollows() > 0;
}

void ViewController::stopCue(int row) {
    if (!hasRow(row)) return;
    const std::shared_ptr<CXAudio> cue = cxList[std::size_t(row)];
    if (isPaused(row)) {
        stopPaused(row);
        return;
    }
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
    // Persist through was started by the engine, on the frame after this cue's last.
    resetRowDisplay(row);
}

void ViewController::audioPlayerDidFinishPlaying(AudioPlayer* player, bool) {
    if (!player) return;
    for (int row = 0; hasRow(row); ++row)
        if (cxList[std::size_t(row)]->player.get() == player) finishCue(row);
}

void ViewController::timerUpdate() {
    if (cxList.empty()) {
        emit positionsShown(false);
        setScrubbing(false);
        return;
    }
    // The engine times the show; this pass only shows it. The plans reach the engine where
    // a cue or the list changes, not from here.
    bool anyPlaying = false;
    const bool timeLeftInRows = Appearance::instance().rowsShowTimeLeft();
    for (int row = 0; hasRow(row); ++row) {
        // Runs 25 times a second over the whole list: idle rows cost one check and no
        // reference count traffic.
        AudioPlayer* player = cxList[std::size_t(row)]->player.get();
        if (!player || !player->isPlaying()) continue;
        anyPlaying = true;
        const double position = player->currentTime();
        if (!audioTable_) continue;
        if (auto* cell = audioTable_->viewAtColumn(4, row)) {
            // The operator's hand on the handle wins over the running position.
            auto* slider = cell->cxLengthSlider();
            if (slider && !slider->isSliderDown()) slider->followValue(position);
            if (auto* start = cell->cxStartTime()) {
                if (timeLeftInRows) {
                    const QString left = QLatin1Char('-') +
                                         tenthsText(timeLeft(*cxList[std::size_t(row)], position));
                    if (start->text() != left) start->setText(left);
                } else {
                    showTime(start, position);
                }
            }
        }
    }
    emit positionsShown(anyPlaying);
    // Chains still to come keep the display running: their cue shows as soon as it starts.
    setScrubbing(anyPlaying || AudioEngine::shared().mixer().pendingFollows() > 0);
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
