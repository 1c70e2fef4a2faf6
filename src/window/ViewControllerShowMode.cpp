// Show mode: the list locked while a show runs, so that a stray drag or key cannot renumber or
// change the cues a lighting desk fires by number. The commands that would change the list check
// the mode themselves (the menu, the buttons and the remote all reach them); here the rows'
// controls follow it.
#include "window/CXTableCell.h"
#include "window/ViewController.h"

void ViewController::setShowMode(bool on) {
    if (on == showMode_) return;
    if (on) {
        // Whatever was being edited is kept, as its Save or the end of its line would keep it,
        // before nothing more can be.
        closeAudioEditor();
        takeRowEdit();
    }
    showMode_ = on;
    if (audioTable_)
        for (int row : audioTable_->rowsInView())
            for (int column = 0; column < CueTableView::kColumnCount; ++column)
                lockCell(audioTable_->viewAtColumn(column, row));
    emit showModeChanged(on);
}

void ViewController::lockCell(CXTableCell* cell) const {
    if (!cell) return;
    // Read-only rather than disabled: the title stays in its own colours, fully readable.
    if (QLineEdit* title = cell->cxAudioTitle()) title->setReadOnly(showMode_);
    // A stray click on the position would move where a playing cue is heard from.
    if (DoubleSlider* position = cell->cxLengthSlider()) position->setEnabled(!showMode_);
    if (DoubleSlider* volume = cell->cxVolumeSlider()) volume->setEnabled(!showMode_);
    if (QPushButton* edit = cell->cxEditButton()) edit->setEnabled(!showMode_);
}
