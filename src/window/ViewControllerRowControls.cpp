// The controls in each row that act on the row's cue without the editor, and the Edit button
// that opens it.
#include <QLineEdit>

#include "editor/AudioEditView.h"
#include "model/CXAudio.h"
#include "platform/MessageLog.h"
#include "window/CXTableCell.h"
#include "window/ViewController.h"

namespace {

// The row a control stands in, or -1 when it carries no row at all.
int rowOf(const QObject* sender) {
    const QVariant tag = sender ? sender->property("tag") : QVariant();
    bool ok = false;
    const int row = tag.toInt(&ok);
    return tag.isValid() && ok ? row : -1;
}

}  // namespace

void ViewController::connectRowControls(CXTableCell* cell) {
    if (!cell) return;
    // Cells are reused for other rows; a control keeps one connection and reads its row from
    // its tag when it fires.
    if (QLineEdit* title = cell->cxAudioTitle()) {
        disconnect(title, &QLineEdit::editingFinished, this, nullptr);
        connect(title, &QLineEdit::editingFinished, this, [this, title] { nameUpdated(title); });
    }
    if (DoubleSlider* slider = cell->cxLengthSlider()) {
        disconnect(slider, &DoubleSlider::doubleValueChanged, this, nullptr);
        connect(slider, &DoubleSlider::doubleValueChanged, this,
                [this, slider] { seekSlider(slider); });
    }
    if (DoubleSlider* slider = cell->cxVolumeSlider()) {
        disconnect(slider, &DoubleSlider::doubleValueChanged, this, nullptr);
        connect(slider, &DoubleSlider::doubleValueChanged, this,
                [this, slider] { volumeSlider(slider); });
        // A drag is one change: saved once, where the handle is let go.
        disconnect(slider, &QSlider::sliderReleased, this, nullptr);
        connect(slider, &QSlider::sliderReleased, this, [this] { saveList(); });
        disconnect(slider, &QSlider::sliderPressed, this, nullptr);
        connect(slider, &QSlider::sliderPressed, this, [this] { volumeDrag_ = nullptr; });
    }
    if (QPushButton* edit = cell->cxEditButton()) {
        disconnect(edit, &QPushButton::clicked, this, nullptr);
        connect(edit, &QPushButton::clicked, this, [this, edit] { editButton(edit); });
    }
}

void ViewController::nameUpdated(QObject* sender) {
    const int row = rowOf(sender);
    auto* field = qobject_cast<QLineEdit*>(sender);
    if (!hasRow(row) || !field || showMode_) return;
    const std::shared_ptr<CXAudio>& cue = cxList[std::size_t(row)];
    const nlohmann::json before = cue->toJSON();
    cue->audioTitle = field->text().toStdString();
    history_.recordFields(cue, before);
    saveList();
}

void ViewController::seekSlider(QObject* sender) {
    const int row = rowOf(sender);
    auto* slider = qobject_cast<DoubleSlider*>(sender);
    if (!hasRow(row) || !slider || showMode_) return;
    const double position = slider->doubleValue();
    CXAudio& cue = *cxList[std::size_t(row)];
    if (cue.player) cue.player->setCurrentTime(position);
    // Only the position moves: the cut stays, and nothing is saved.
    if (auto* cell = qobject_cast<CXTableCell*>(slider->parentWidget()))
        if (QLabel* label = cell->cxStartTime()) label->setText(formatTime(position));
}

void ViewController::volumeSlider(QObject* sender) {
    const int row = rowOf(sender);
    auto* slider = qobject_cast<DoubleSlider*>(sender);
    if (!hasRow(row) || !slider || showMode_) return;
    const std::shared_ptr<CXAudio>& cue = cxList[std::size_t(row)];
    const nlohmann::json before = cue->toJSON();
    cue->changeVolume(slider->floatValue());
    // The moves of one drag are one step, saved once, where the handle is let go.
    const bool dragging = slider->isSliderDown();
    history_.recordFields(cue, before, dragging && volumeDrag_ == slider);
    volumeDrag_ = dragging ? slider : nullptr;
    if (!dragging) saveList();
}

void ViewController::editButton(QObject* sender) {
    openAudioEditor(rowOf(sender));
}

void ViewController::openAudioEditor(int row) {
    if (!hasRow(row) || !audioTable_ || showMode_) return;
    // The editor measures cuts against the file: without one it would cut the stored end to
    // nothing, and the length the missing file is found by would be lost.
    if (const CXAudio& cue = *cxList[std::size_t(row)]; cue.missing()) {
        MessageLog::instance().report(
            QStringLiteral("Cue %1 “%2” cannot be edited while its audio file “%3” is missing.")
                .arg(row + 1)
                .arg(QString::fromStdString(cue.audioTitle), QString::fromStdString(cue.fileName)));
        return;
    }
    if (AudioEditView* open = presentedViewController()) {
        if (open->audioFile == cxList[std::size_t(row)]) {
            open->raise();
            open->activateWindow();
            return;
        }
        open->saveButton(nullptr);
    }
    // Every opening builds a new editor; it deletes itself when it closes.
    auto* editor = new AudioEditView(audioTable_->window());
    editor->audioFile = cxList[std::size_t(row)];
    editor->cxIndex = row;
    editor->setPresentingViewController(this);
    editor->viewDidLoad();
    editor->show();
    editor->activateWindow();
}

AudioEditView* ViewController::presentedViewController() const {
    if (!audioTable_) return nullptr;
    for (auto* editor :
         audioTable_->window()->findChildren<AudioEditView*>(QString(), Qt::FindDirectChildrenOnly))
        if (editor->isVisible()) return editor;
    return nullptr;
}

void ViewController::cueChanged(int) {
    // A cut, a chain or a fade shows in more than its own row (the chains' icons of the row
    // above): every row is shown again.
    if (audioTable_) audioTable_->reloadData();
    emit listChanged();
}

void ViewController::closeAudioEditor() {
    if (AudioEditView* editor = presentedViewController()) editor->saveButton(nullptr);
}
