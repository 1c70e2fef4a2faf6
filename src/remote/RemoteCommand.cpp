#include "remote/RemoteCommand.h"

#include <QCoreApplication>
#include <QKeyEvent>

#include "model/CXAudio.h"
#include "model/CueNumbers.h"
#include "window/CXTableCell.h"
#include "window/ViewController.h"

namespace {

bool isPlaying(const CXAudio& cue) {
    return cue.player && cue.player->isPlaying();
}

// The row's play button as the transport reads it: only its tag matters.
void clickPlay(ViewController& controller, int row) {
    QObject button;
    setTag(&button, row);
    controller.playClick(&button);
}

void pressArrow(CueTableView* table, Qt::Key key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(table, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QCoreApplication::sendEvent(table, &release);
}

}  // namespace

RemoteState remoteStateOf(ViewController& controller) {
    RemoteState state;
    if (CueTableView* table = controller.audioTable()) {
        const int row = table->selectedRow();
        if (row >= 0 && std::size_t(row) < controller.cxList.size())
            state.selected = controller.cxList[std::size_t(row)]->cueNumber;
    }
    for (std::size_t row = 0; row < controller.cxList.size(); ++row) {
        const CXAudio& cue = *controller.cxList[row];
        if (!isPlaying(cue)) continue;
        state.playing.push_back({cue.cueNumber, cue.audioTitle,
                                 cue.player->isPaused() ? "paused"
                                 : cue.fadingIn         ? "fading in"
                                 : cue.fadingOut        ? "fading out"
                                                        : "playing",
                                 cue.player->currentTime()});
    }
    return state;
}

QString applyRemoteCommand(ViewController& controller, const RemoteCommand& command) {
    using Kind = RemoteCommand::Kind;
    const bool needsCue = command.kind == Kind::Start || command.kind == Kind::Stop ||
                          command.kind == Kind::Select || command.kind == Kind::FadeOut;
    // Looked up as the command runs, not when it arrived: a renumber in between is obeyed.
    const int row = needsCue ? cuenumbers::rowOf(controller.cxList, command.cue) : -1;
    if (needsCue && row < 0)
        return QStringLiteral("there is no cue “%1”").arg(QString::fromStdString(command.cue));
    CueTableView* table = controller.audioTable();

    switch (command.kind) {
        case Kind::Go:
            if (table) controller.goMenuButton();
            break;
        case Kind::StopAll:
            controller.stopAllButton(nullptr);
            break;
        case Kind::Start: {
            // Start never stops: a click on a sounding cue would, except during its fade-in, where
            // the click finishes the fade at once.
            const CXAudio& cue = *controller.cxList[std::size_t(row)];
            if (cue.fadingIn || (!isPlaying(cue) && !cue.fadingOut)) clickPlay(controller, row);
            break;
        }
        case Kind::Stop: {
            // Stop never starts: during a fade-in the click would finish the fade instead.
            const CXAudio& cue = *controller.cxList[std::size_t(row)];
            if (!isPlaying(cue)) break;
            // A paused cue's click would resume it.
            if (cue.fadingIn || cue.player->isPaused()) {
                controller.stopCue(row);
            } else {
                clickPlay(controller, row);
            }
            break;
        }
        case Kind::Select:
            if (table) {
                table->selectRowIndexes({row}, false);
                table->scrollTo(table->model()->index(row, 0));
            }
            break;
        case Kind::Next:
        case Kind::Previous:
            // The arrow keys themselves, so the first press with nothing selected and the ends of
            // the list behave as they do under the operator's hand.
            if (table) pressArrow(table, command.kind == Kind::Next ? Qt::Key_Down : Qt::Key_Up);
            break;
        case Kind::Panic:
            controller.panic();
            break;
        case Kind::FadeAll:
            controller.fadeAll();
            break;
        case Kind::FadeOut:
            controller.fadeCue(row);
            break;
        case Kind::PauseAll:
            controller.pauseAll();
            break;
        case Kind::ResumeAll:
            controller.resumeAll();
            break;
        case Kind::Master:
            controller.setMasterLevel(command.level);
            break;
        case Kind::State:
        case Kind::Subscribe:
        case Kind::Unsubscribe:
            break;
    }
    return {};
}

RemoteQueue::Push RemoteQueue::push(const RemoteCommand& command) {
    using Kind = RemoteCommand::Kind;
    const bool query = command.kind == Kind::State || command.kind == Kind::Subscribe ||
                       command.kind == Kind::Unsubscribe;
    std::lock_guard lock(mutex_);
    std::deque<RemoteCommand>& lane = query ? queries_ : commands_;
    // Only commands whose repeat changes nothing are merged: two Nexts move two rows and a
    // second stop cuts a fade short, as a second press would.
    const bool repeatable = command.kind == Kind::Go || command.kind == Kind::Select ||
                            command.kind == Kind::State || command.kind == Kind::Subscribe;
    if (repeatable && !lane.empty() && lane.back() == command) return Push::Merged;
    if (lane.size() >= (query ? kQueryCapacity : kCapacity)) return Push::Full;
    const bool wasEmpty = commands_.empty() && queries_.empty();
    lane.push_back(command);
    return wasEmpty ? Push::QueuedFirst : Push::Queued;
}

std::vector<RemoteCommand> RemoteQueue::take(std::size_t max) {
    std::lock_guard lock(mutex_);
    std::vector<RemoteCommand> out;
    while (out.size() < max && !(queries_.empty() && commands_.empty())) {
        std::deque<RemoteCommand>* lane = queryTurn_ ? &queries_ : &commands_;
        if (lane->empty()) lane = queryTurn_ ? &commands_ : &queries_;
        out.push_back(std::move(lane->front()));
        lane->pop_front();
        queryTurn_ = lane == &commands_;
    }
    return out;
}

std::size_t RemoteQueue::size() const {
    std::lock_guard lock(mutex_);
    return commands_.size() + queries_.size();
}
