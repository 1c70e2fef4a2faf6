// The ways out of a cue fired early: Stop All and its panic, Fade All, a fade of one cue, Pause
// All, and the master level. The keys, buttons, menus and the remote all land here.
#include <QMenu>
#include <QSettings>
#include <algorithm>
#include <cmath>

#include "audio/AudioEngine.h"
#include "model/CXAudio.h"
#include "window/ViewController.h"

namespace {

const QString kFadeAllKey = QStringLiteral("show/fadeAllSeconds");
const QString kMasterKey = QStringLiteral("show/masterDb");

bool sounding(const CXAudio& cue) {
    return cue.player && cue.player->isPlaying();
}

}  // namespace

void ViewController::stopAllButton(QObject*) {
    const bool again = lastStopAll_.isValid() && lastStopAll_.elapsed() < kPanicWindowMs;
    const bool fading = std::any_of(stopAllFading_.begin(), stopAllFading_.end(), [](auto& weak) {
        const std::shared_ptr<CXAudio> cue = weak.lock();
        return cue && cue->fadingOut && sounding(*cue);
    });
    if (again || fading) {
        panic();
        return;
    }
    lastStopAll_.start();
    stopAllFading_.clear();
    // A chain left armed would start a cue after the operator stopped everything.
    callOffChains();
    for (int row = 0; hasRow(row); ++row) {
        const std::shared_ptr<CXAudio> cue = cxList[std::size_t(row)];
        if (!sounding(*cue)) continue;
        if (cue->player->isPaused()) {
            stopPaused(row);
        } else if (cue->fadeOut) {
            setPlayButtonTitle(row, QStringLiteral("Fading"));
            cue->fadeOutToggle(row, this);
            if (cue->fadingOut) stopAllFading_.push_back(cue);
        } else {
            cue->stopClick();
            showRowStopped(row, cue->startTime);
        }
    }
}

void ViewController::panic() {
    lastStopAll_.invalidate();
    stopAllFading_.clear();
    callOffChains();
    for (int row = 0; hasRow(row); ++row) {
        const std::shared_ptr<CXAudio> cue = cxList[std::size_t(row)];
        if (!sounding(*cue)) continue;
        // The plain stop: the mixer's few-millisecond tail, never a fade.
        cue->resetPlayer();
        showRowStopped(row, cue->startTime);
    }
}

void ViewController::fadeAll() {
    callOffChains();
    const double seconds = fadeAllSeconds();
    for (int row = 0; hasRow(row); ++row) {
        const std::shared_ptr<CXAudio> cue = cxList[std::size_t(row)];
        if (!sounding(*cue)) continue;
        if (cue->player->isPaused()) {
            stopPaused(row);
            continue;
        }
        setPlayButtonTitle(row, QStringLiteral("Fading"));
        cue->fadeOutOver(seconds, row, this);
    }
}

void ViewController::fadeSelectedCue() {
    int row = audioTable_ ? audioTable_->selectedRow() : -1;
    if (!hasRow(row) || !sounding(*cxList[std::size_t(row)])) {
        const std::shared_ptr<CXAudio> last = lastStarted_.lock();
        const auto at = std::find(cxList.begin(), cxList.end(), last);
        row = last && at != cxList.end() ? int(at - cxList.begin()) : -1;
    }
    fadeCue(row);
}

void ViewController::fadeCue(int row) {
    if (!hasRow(row) || !sounding(*cxList[std::size_t(row)])) return;
    const std::shared_ptr<CXAudio> cue = cxList[std::size_t(row)];
    if (cue->player->isPaused()) {
        stopPaused(row);
        return;
    }
    const double seconds =
        cue->fadeOut && cue->fadeOutLength > 0.0 ? cue->fadeOutLength : fadeAllSeconds();
    setPlayButtonTitle(row, QStringLiteral("Fading"));
    cue->fadeOutOver(seconds, row, this);
}

void ViewController::pauseAll() {
    // Chains of cues already ended (persist through) hold too, not only those of paused cues.
    AudioEngine::shared().holdFollows(true);
    pausedAll_ = true;
    for (int row = 0; hasRow(row); ++row) pauseCue(row);
}

void ViewController::resumeAll() {
    releaseHeldFollows();
    for (int row = 0; hasRow(row); ++row) resumeCue(row);
}

void ViewController::togglePauseAll() {
    if (anyPaused()) {
        resumeAll();
    } else {
        pauseAll();
    }
}

void ViewController::pauseCue(int row) {
    if (!hasRow(row) || !sounding(*cxList[std::size_t(row)]) || isPaused(row)) return;
    cxList[std::size_t(row)]->player->pause();
    setPlayButtonTitle(row, QStringLiteral("Paused"));
}

void ViewController::resumeCue(int row) {
    if (!isPaused(row)) return;
    cxList[std::size_t(row)]->player->resume();
    showRunning(row);
}

bool ViewController::isPaused(int row) const {
    return hasRow(row) && cxList[std::size_t(row)]->player &&
           cxList[std::size_t(row)]->player->isPaused();
}

bool ViewController::anyPaused() const {
    if (pausedAll_) return true;
    for (int row = 0; hasRow(row); ++row)
        if (isPaused(row)) return true;
    return false;
}

void ViewController::stopPaused(int row) {
    cxList[std::size_t(row)]->resetPlayer();
    showRowStopped(row, cxList[std::size_t(row)]->startTime);
}

void ViewController::callOffChains() {
    AudioEngine::shared().cancelFollows();
    releaseHeldFollows();
}

void ViewController::releaseHeldFollows() {
    pausedAll_ = false;
    AudioEngine::shared().holdFollows(false);
}

void ViewController::showRunning(int row) {
    const CXAudio& cue = *cxList[std::size_t(row)];
    setPlayButtonTitle(
        row, cue.fadingIn || cue.fadingOut ? QStringLiteral("Fading") : QStringLiteral("Stop"));
}

double ViewController::fadeAllSeconds() {
    const double seconds = QSettings().value(kFadeAllKey, kDefaultFadeAllSeconds).toDouble();
    return std::isfinite(seconds) && seconds > 0.0 ? std::min(seconds, 600.0)
                                                   : kDefaultFadeAllSeconds;
}

void ViewController::setFadeAllSeconds(double seconds) {
    if (std::isfinite(seconds) && seconds > 0.0) QSettings().setValue(kFadeAllKey, seconds);
}

double ViewController::savedMasterLevel() {
    const double dB = QSettings().value(kMasterKey, 0.0).toDouble();
    return std::isfinite(dB) ? std::clamp(dB, kMasterFloorDb, 0.0) : 0.0;
}

void ViewController::setMasterLevel(double dB) {
    if (std::isnan(dB)) return;
    dB = std::clamp(dB, kMasterFloorDb, 0.0);
    masterDb_ = dB;
    QSettings().setValue(kMasterKey, dB);
    const float gain = dB <= kMasterFloorDb ? 0.0f : float(std::pow(10.0, dB / 20.0));
    AudioEngine::shared().setMasterGain(gain);
    emit masterLevelChanged(dB);
}

void ViewController::addPlaybackItems(QMenu* menu) {
    const int row = audioTable_->selectedRow();
    if (!hasRow(row)) return;
    // Found again when chosen: the list may have moved under the open menu.
    const std::weak_ptr<CXAudio> weak = cxList[std::size_t(row)];
    auto onCue = [this, weak](void (ViewController::*act)(int)) {
        return [this, weak, act] {
            const auto at = std::find(cxList.begin(), cxList.end(), weak.lock());
            if (weak.lock() && at != cxList.end()) (this->*act)(int(at - cxList.begin()));
        };
    };
    const bool playing = cxList[std::size_t(row)]->player->isPlaying();
    menu->addSeparator();
    menu->addAction(QStringLiteral("&Fade Out Now"), onCue(&ViewController::fadeCue))
        ->setEnabled(playing);
    if (isPaused(row)) {
        menu->addAction(QStringLiteral("Res&ume"), onCue(&ViewController::resumeCue));
    } else {
        menu->addAction(QStringLiteral("&Pause"), onCue(&ViewController::pauseCue))
            ->setEnabled(playing);
    }
}
