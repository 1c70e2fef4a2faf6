// Where the cues are heard: each cue names the show's outputs, and this machine's patch says
// which device channel each output plays on.
#include <QMenu>
#include <QStringList>
#include <QTimer>
#include <algorithm>

#include "audio/AudioEngine.h"
#include "model/CXAudio.h"
#include "platform/MessageLog.h"
#include "window/CXTableCell.h"
#include "window/ViewController.h"

namespace {

// The menus offer at least four pairs: a show is often built on a stereo laptop for a theatre
// with more outputs.
constexpr int kLeastOutputsOffered = 8;
constexpr int kMostCuesNamed = 8;
// How long a load waits for the output device to open before it judges the cues' outputs.
constexpr int kOutputPollMs = 100;
constexpr int kOutputPolls = 30;

QString dB(double level) {
    return QString::number(level, 'f', 1) + QStringLiteral(" dB");
}

// "output 7", "outputs 7 and 8".
QString outputsText(const QList<int>& outputs) {
    if (outputs.size() == 1) return QStringLiteral("output %1").arg(outputs.front());
    return QStringLiteral("outputs %1 and %2").arg(outputs.front()).arg(outputs.back());
}

}  // namespace

int ViewController::deviceChannels() const {
    return int(AudioEngine::shared().outputChannelNames().size());
}

void ViewController::applyRoutes() {
    for (const auto& cue : cxList)
        cue->routeTo(patch_.channel(cue->outputs[0]), patch_.channel(cue->outputs[1]));
}

void ViewController::patchChanged(const OutputPatch& patch) {
    patch_ = patch;
    applyRoutes();
    if (audioTable_)
        for (int row : audioTable_->rowsInView()) showRoute(row);
    reportMissingOutputs();
}

void ViewController::routeChanged(CXAudio& cue) {
    cue.routeTo(patch_.channel(cue.outputs[0]), patch_.channel(cue.outputs[1]));
    for (int row = 0; hasRow(row); ++row)
        if (cxList[std::size_t(row)].get() == &cue) showRoute(row);
}

void ViewController::showRoute(int row) {
    CXTableCell* cell = audioTable_ && hasRow(row) ? audioTable_->viewAtColumn(3, row) : nullptr;
    if (cell) showRoute(cell->cxRouteLabel(), *cxList[std::size_t(row)]);
}

void ViewController::showRoute(QLabel* label, const CXAudio& cue) const {
    if (!label) return;
    const auto [left, right] = cue.outputs;
    const QString text = patch_.routeLabel(left, right);
    // Names can be long; the whole route is in the tooltip and the row's description.
    label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, label->maximumWidth()));
    const QString detail =
        left == right && cue.outputLevels[0] == cue.outputLevels[1]
            ? QStringLiteral("Output %1 at %2").arg(patch_.name(left), dB(cue.outputLevels[0]))
            : QStringLiteral("Left to output %1 at %2, right to output %3 at %4")
                  .arg(patch_.name(left), dB(cue.outputLevels[0]), patch_.name(right),
                       dB(cue.outputLevels[1]));
    label->setToolTip(detail);
    label->setAccessibleDescription(detail);
}

void ViewController::reportMissingOutputs() {
    if (cxList.empty()) return;
    const int channels = deviceChannels();
    QStringList named;
    QString firstCue, firstOutputs;
    int count = 0;
    for (int row = 0; hasRow(row); ++row) {
        const CXAudio& cue = *cxList[std::size_t(row)];
        QList<int> lacking;
        for (int output : cue.outputs)
            if (patch_.channel(output) >= channels && !lacking.contains(output))
                lacking.append(output);
        if (lacking.isEmpty() || ++count > kMostCuesNamed) continue;
        const QString who =
            QStringLiteral("%1 \"%2\"")
                .arg(QString::fromStdString(cue.cueNumber), QString::fromStdString(cue.audioTitle));
        if (count == 1) firstCue = who, firstOutputs = outputsText(lacking);
        named.append(QStringLiteral("%1 (%2)").arg(who, outputsText(lacking)));
    }
    if (count == 0) return;
    if (count == 1) {
        MessageLog::instance().report(
            QStringLiteral("Cue %1 is routed to %2, which this output device lacks: it plays on "
                           "outputs 1-2.")
                .arg(firstCue, firstOutputs));
        return;
    }
    QString cues = named.join(QStringLiteral(", "));
    if (count > kMostCuesNamed) cues += QStringLiteral(" and %1 more").arg(count - kMostCuesNamed);
    MessageLog::instance().report(
        QStringLiteral("Cues %1 are routed to outputs this output device lacks: they play on "
                       "outputs 1-2.")
            .arg(cues));
}

void ViewController::reportMissingOutputsOnceOpen() {
    // Nothing to tell of a list that stays on the first two channels, whatever the device.
    const bool beyondStereo = std::any_of(cxList.begin(), cxList.end(), [this](const auto& cue) {
        return patch_.channel(cue->outputs[0]) >= 2 || patch_.channel(cue->outputs[1]) >= 2;
    });
    if (!beyondStereo) return;
    // The device's channels are known once its output is open, which the engine does on a
    // thread of its own as the program starts; judged before, every list would lack outputs.
    const AudioEngine& engine = AudioEngine::shared();
    if (engine.mode() != AudioEngine::Mode::Device || engine.outputDeviceActive()) {
        reportMissingOutputs();
        return;
    }
    auto* poll = new QTimer(this);
    poll->setInterval(kOutputPollMs);
    connect(poll, &QTimer::timeout, this, [this, poll, polls = 0]() mutable {
        if (!AudioEngine::shared().outputDeviceActive() && ++polls < kOutputPolls) return;
        poll->stop();
        poll->deleteLater();
        reportMissingOutputs();
    });
    poll->start();
}

void ViewController::routeSelected(int left, int right) {
    if (!audioTable_ || importing_ || showMode_) return;
    // The editor shows the fields of its cue; it closes as its Save would, so what it holds
    // is a step of its own and it never shows a route that is no longer the cue's.
    closeAudioEditor();
    QList<int> rows;
    for (const QModelIndex& index : audioTable_->selectionModel()->selectedRows())
        if (hasRow(index.row())) rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    ListHistory::CueFields before;
    for (int row : rows) {
        const std::shared_ptr<CXAudio>& cue = cxList[std::size_t(row)];
        before.emplace_back(cue, cue->toJSON());
        cue->outputs = {left, right};
        showRoute(row);
    }
    history_.recordFields(before);
    // Saving sends the routes to the players with the rest of the timeline.
    if (!rows.isEmpty()) saveList();
}

void ViewController::showRowMenu(const QPoint& at) {
    if (!audioTable_ || cxList.empty()) return;
    // A right click on a row outside the selection has made it the selection already; one
    // on the empty space below the rows acts on the rows selected.
    if (audioTable_->selectionModel()->selectedRows().isEmpty()) return;
    auto* menu = new QMenu(audioTable_);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    // A locked list keeps its routes; fading and pausing are the show's, and stay.
    if (!showMode_) {
        QMenu* route = menu->addMenu(QStringLiteral("Route to &outputs"));
        const int outputs = std::clamp(std::max(deviceChannels(), kLeastOutputsOffered), 2,
                                       OutputPatch::kMaxOutputs);
        for (int left = 1; left + 1 <= outputs; left += 2)
            route->addAction(patch_.routeLabel(left, left + 1),
                             [this, left] { routeSelected(left, left + 1); });
        route->addSeparator();
        for (int output = 1; output <= outputs; ++output)
            route->addAction(patch_.routeLabel(output, output) + QStringLiteral(" (mono)"),
                             [this, output] { routeSelected(output, output); });
    }
    addNumberItems(menu);
    addPlaybackItems(menu);
    menu->popup(audioTable_->viewport()->mapToGlobal(at));
}
