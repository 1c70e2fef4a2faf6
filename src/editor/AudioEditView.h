#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QFutureWatcher>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "editor/WaveformPeaks.h"
#include "editor/WaveformView.h"
#include "widgets/DoubleSlider.h"
#include "widgets/SymbolImageView.h"

class CXAudio;
class QTimer;
class ViewController;

namespace Ui {
class AudioEdit;
}

// The window in which every option of one cue is edited. It works on the list's own cue object:
// each control writes into the cue the moment it changes, the repeat count, the pan and the
// route reach the cue's player at once, and Save (also Ctrl+Return) writes the list and rebuilds
// the table. The cut fields commit on Return, on leaving them, and before any way of closing.
class AudioEditView : public QDialog {
    Q_OBJECT
public:
    explicit AudioEditView(QWidget* parent = nullptr);
    ~AudioEditView() override;

    // A placeholder cue until the editor is opened on a row.
    std::shared_ptr<CXAudio> audioFile;
    int64_t cxIndex = 0;

    void setPresentingViewController(ViewController* controller) { presenting_ = controller; }
    ViewController* presentingViewController() const { return presenting_; }

    // Fills the form from audioFile; once, after audioFile is set and before the editor shows.
    void viewDidLoad();
    // Closes the editor; the closed editor deletes itself.
    void dismissController();

    // Actions, each taking the control that sent it.
    void audioTitleChange(QObject* sender);
    void audioTitleChanged(QObject* sender);
    void fadeInClick(QObject* sender);
    void fadeOutClick(QObject* sender);
    void fadeInStepperChange(QObject* sender);
    void fadeOutStepperChange(QObject* sender);
    void repeatClick(QObject* sender);
    void repeatStepperChange(QObject* sender);
    void persistClick(QObject* sender);
    void extendClick(QObject* sender);
    void persistStepperChange(QObject* sender);
    void extendStepperChange(QObject* sender);
    void startMinChange(QObject* sender);
    void startSecChange(QObject* sender);
    void endMinChange(QObject* sender);
    void endSecChange(QObject* sender);
    void resetTimeClick(QObject* sender);
    void panSliderChange(QObject* sender);
    void selectNextClick(QObject* sender);
    // Any of the four route fields: the cue takes them all, and its player follows at once.
    void routeChange(QObject* sender);
    void saveButton(QObject* sender);

    void updateFadeIcon();
    void updateRepeatIcon();
    void updatePersistExtendIcon();
    void updateCutIcon();
    void updateCutTimes();

    // The outlets, connected from the form when the editor is built.
    QLineEdit* audioTitle() const { return audioTitle_; }
    QLineEdit* cueNumberField() const { return cueNumberField_; }
    QPlainTextEdit* notesField() const { return notesField_; }
    QCheckBox* fadeInButton() const { return fadeInButton_; }
    QDoubleSpinBox* fadeInSeconds() const { return fadeInSeconds_; }
    QLineEdit* fadeInSecondsText() const { return fadeInSecondsText_; }
    QCheckBox* fadeOutButton() const { return fadeOutButton_; }
    QDoubleSpinBox* fadeOutSeconds() const { return fadeOutSeconds_; }
    QLineEdit* fadeOutSecondsText() const { return fadeOutSecondsText_; }
    QCheckBox* repeatButton() const { return repeatButton_; }
    QSpinBox* repeatCount() const { return repeatCount_; }
    QLineEdit* repeatCountText() const { return repeatCountText_; }
    QCheckBox* persistButton() const { return persistButton_; }
    QDoubleSpinBox* persistDelay() const { return persistDelay_; }
    QLineEdit* persistDelayText() const { return persistDelayText_; }
    QCheckBox* extendButton() const { return extendButton_; }
    QDoubleSpinBox* extendDelay() const { return extendDelay_; }
    QLineEdit* extendDelayText() const { return extendDelayText_; }
    QLineEdit* startMin() const { return startMin_; }
    QLineEdit* startSec() const { return startSec_; }
    QLineEdit* endMin() const { return endMin_; }
    QLineEdit* endSec() const { return endSec_; }
    QPushButton* resetCut() const { return resetCut_; }
    DoubleSlider* panSlider() const { return panSlider_; }
    QCheckBox* selectNextButton() const { return selectNextButton_; }
    QSpinBox* leftOutput() const { return leftOutput_; }
    QSpinBox* rightOutput() const { return rightOutput_; }
    QDoubleSpinBox* leftLevel() const { return leftLevel_; }
    QDoubleSpinBox* rightLevel() const { return rightLevel_; }
    SymbolImageView* persistExtendIcon() const { return persistExtendIcon_; }
    SymbolImageView* cutIcon() const { return cutIcon_; }
    SymbolImageView* fadeIcon() const { return fadeIcon_; }
    SymbolImageView* repeatIcon() const { return repeatIcon_; }
    QLabel* fadeInInfoText() const { return fadeInInfoText_; }
    QLabel* fadeOutInfoText() const { return fadeOutInfoText_; }
    QLabel* repeatInfoText() const { return repeatInfoText_; }
    QLabel* persistInfoText() const { return persistInfoText_; }
    QLabel* extendInfoText() const { return extendInfoText_; }

    WaveformView* waveform() const { return waveform_; }
    QPushButton* saveControl() const { return saveControl_; }
    // The waveform's outline has been read (or has failed to read) and is drawn.
    bool waveformReady() const { return waveform_ && !waveform_->isReading(); }

public slots:
    // The close box or Ctrl+W: the edits are already in the cue, so they are kept and saved as
    // the close-window command would.
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void connectOutlets();
    void connectActions();
    void connectRouteFields();
    void showRouteFields();
    // The cue's number and notes (AudioEditViewIdentity.cpp). A number is taken on Return, when
    // its field is left or the editor closes, through the list's own rules; the notes as typed,
    // a burst of typing one step.
    void connectIdentityFields();
    void showIdentityFields();
    void showCueNumberField();
    void commitTypedNumber();
    void showCutFields(QLineEdit* minutes, QLineEdit* seconds, double time);
    // The cut fields' texts as last shown or taken, to tell which pair the user has changed.
    void rememberCutText();
    bool startTyped() const;
    bool endTyped() const;
    void commitTypedCut();
    void showCut();
    void startReadingPeaks();
    void followPlayback();
    void markerDragged(WaveformView::Marker marker, double seconds);
    // Makes the change and hands what it changed in the cue to the list's history. `gesture`:
    // the control whose run of changes is one step (a drag, typing), or null for a step alone.
    void recordChange(const QObject* gesture, const std::function<void()>& change);

    std::unique_ptr<Ui::AudioEdit> ui_;
    QPointer<ViewController> presenting_;

    QPointer<QLineEdit> audioTitle_;
    QPointer<QLineEdit> cueNumberField_;
    QPointer<QPlainTextEdit> notesField_;
    QPointer<QCheckBox> fadeInButton_;
    QPointer<QDoubleSpinBox> fadeInSeconds_;
    QPointer<QLineEdit> fadeInSecondsText_;
    QPointer<QCheckBox> fadeOutButton_;
    QPointer<QDoubleSpinBox> fadeOutSeconds_;
    QPointer<QLineEdit> fadeOutSecondsText_;
    QPointer<QCheckBox> repeatButton_;
    QPointer<QSpinBox> repeatCount_;
    QPointer<QLineEdit> repeatCountText_;
    QPointer<QCheckBox> persistButton_;
    QPointer<QDoubleSpinBox> persistDelay_;
    QPointer<QLineEdit> persistDelayText_;
    QPointer<QCheckBox> extendButton_;
    QPointer<QDoubleSpinBox> extendDelay_;
    QPointer<QLineEdit> extendDelayText_;
    QPointer<QLineEdit> startMin_;
    QPointer<QLineEdit> startSec_;
    QPointer<QLineEdit> endMin_;
    QPointer<QLineEdit> endSec_;
    QPointer<QPushButton> resetCut_;
    QPointer<DoubleSlider> panSlider_;
    QPointer<QCheckBox> selectNextButton_;
    QPointer<QSpinBox> leftOutput_;
    QPointer<QSpinBox> rightOutput_;
    QPointer<QDoubleSpinBox> leftLevel_;
    QPointer<QDoubleSpinBox> rightLevel_;
    QPointer<SymbolImageView> persistExtendIcon_;
    QPointer<SymbolImageView> cutIcon_;
    QPointer<SymbolImageView> fadeIcon_;
    QPointer<SymbolImageView> repeatIcon_;
    QPointer<QLabel> fadeInInfoText_;
    QPointer<QLabel> fadeOutInfoText_;
    QPointer<QLabel> repeatInfoText_;
    QPointer<QLabel> persistInfoText_;
    QPointer<QLabel> extendInfoText_;

    QPointer<WaveformView> waveform_;
    QPointer<QPushButton> saveControl_;
    std::array<QString, 4> cutText_;
    // The control of the last step, whose next change continues it.
    const QObject* gesture_ = nullptr;
    QTimer* playheadTimer_ = nullptr;
    QFutureWatcher<std::optional<WaveformPeaks>> peaksWatcher_;
    // Shared with the worker, which stops reading once the editor is gone.
    std::shared_ptr<std::atomic<bool>> peaksCancelled_;
};
