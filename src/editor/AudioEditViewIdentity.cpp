// The editor's number and notes: who the cue is to the operator and to the desk.
#include <QApplication>
#include <QSignalBlocker>
#include <algorithm>

#include "editor/AudioEditView.h"
#include "model/CXAudio.h"
#include "window/ViewController.h"

void AudioEditView::connectIdentityFields() {
    connect(cueNumberField_, &QLineEdit::editingFinished, this, [this] { commitTypedNumber(); });
    // What is typed into the notes is one step until the field is left, as for the title.
    connect(notesField_, &QPlainTextEdit::textChanged, this, [this] {
        recordChange(notesField_,
                     [this] { audioFile->notes = notesField_->toPlainText().toStdString(); });
    });
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget*) {
        if (old && old == notesField_ && gesture_ == notesField_) gesture_ = nullptr;
    });
}

void AudioEditView::showIdentityFields() {
    const QSignalBlocker quietNotes(notesField_);
    notesField_->setPlainText(QString::fromStdString(audioFile->notes));
    showCueNumberField();
}

void AudioEditView::showCueNumberField() {
    const QString number = QString::fromStdString(audioFile->cueNumber);
    const QSignalBlocker quiet(cueNumberField_);
    cueNumberField_->setText(number);
    setWindowTitle(QStringLiteral("Edit Cue %1").arg(number));
}

void AudioEditView::commitTypedNumber() {
    if (!cueNumberField_ || !audioFile) return;
    const QString typed = cueNumberField_->text();
    if (typed.trimmed().toStdString() == audioFile->cueNumber) return;
    if (presenting_) {
        const CueList& list = presenting_->cxList;
        const auto found = std::find(list.begin(), list.end(), audioFile);
        // Refused or not, the step is the list's own; the next typing starts one of its own.
        if (found != list.end()) presenting_->setCueNumber(int(found - list.begin()), typed);
        gesture_ = nullptr;
    }
    // A refused number goes back to the cue's own, which the message area explains.
    showCueNumberField();
}
