#include "editor/AudioEditView.h"

#include <QApplication>
#include <QKeyEvent>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <cmath>
#include <limits>
#include <utility>

#include "model/CXAudio.h"
#include "ui_AudioEdit.h"
#include "widgets/CueIcons.h"
#include "window/Appearance.h"
#include "window/ViewController.h"
#include "window/WheelNeedsFocus.h"

namespace {

constexpr int kPlayheadIntervalMs = 30;
const QString kInfinite = QStringLiteral("Infinite");

// A toggle counts as on only when fully checked.
bool isOn(QObject* sender) {
    auto* button = qobject_cast<QAbstractButton*>(sender);
    return button && button->isChecked();
}

void setState(QAbstractButton* button, bool on) {
    if (button) button->setChecked(on);
}

void enable(std::initializer_list<QWidget*> controls, bool on) {
    for (QWidget* control : controls)
        if (control) control->setEnabled(on);
}

// The program sets a stepper without it reporting a change, as only the user's own steps are
// actions.
void setStepper(QDoubleSpinBox* stepper, double value) {
    if (!stepper) return;
    const QSignalBlocker quiet(stepper);
    stepper->setValue(value);
}
void setStepper(QSpinBox* stepper, int64_t value) {
    if (!stepper) return;
    const QSignalBlocker quiet(stepper);
    // A count beyond what the stepper holds shows at its nearer end; the cue keeps its count.
    const int64_t shown = std::clamp<int64_t>(value, stepper->minimum(), stepper->maximum());
    stepper->setValue(int(shown));
}

void showNumber(QLineEdit* field, double value) {
    if (field) field->setText(QString::number(value));
}

// A seconds stepper moved: its value shows in its text field and goes to the cue.
void takeStepper(QObject* sender, QLineEdit* shown, double& field) {
    auto* stepper = qobject_cast<QDoubleSpinBox*>(sender);
    if (!stepper) return;
    showNumber(shown, stepper->value());
    field = stepper->value();
}

// A time split for the cut fields: whole seconds toward zero, all of its minutes (the form has no
// hours field, and a 62-minute time must read back as itself) and the seconds within the minute,
// both keeping the sign of a negative time. Worked in doubles, so a time of any size splits
// without overflow; a time that is not a number shows as 0:0.
struct MinutesSeconds {
    double minutes = 0.0;
    double seconds = 0.0;
};
MinutesSeconds splitTime(double time) {
    if (!std::isfinite(time)) return {};
    const double whole = std::trunc(time);
    return {std::trunc(whole / 60.0), std::fmod(whole, 60.0)};
}

QString wholeNumber(double value) {
    return QString::number(value == 0.0 ? 0.0 : value, 'f', 0);  // never "-0"
}

// The whole number a cut field holds, read the way the fields have always been read: leading
// blanks, an optional sign, then digits up to the first other character; no digits read as 0.
// Nothing when the digits do not fit in 64 bits.
std::optional<int64_t> fieldNumber(const QLineEdit* field) {
    const QString text = field ? field->text() : QString();
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace()) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        const int digit = text[i].unicode() - u'0';
        if (__builtin_mul_overflow(magnitude, 10, &magnitude) ||
            __builtin_add_overflow(magnitude, digit, &magnitude))
            return std::nullopt;
    }
    return negative ? -magnitude : magnitude;
}

// minutes × 60 + seconds as a cut time in whole seconds. The fields stand for a 32-bit count of
// seconds: a total outside it is out of range, and so refused like any other bad cut.
std::optional<int64_t> cutTotal(const QLineEdit* minutesField, const QLineEdit* secondsField) {
    const std::optional<int64_t> minutes = fieldNumber(minutesField);
    const std::optional<int64_t> seconds = fieldNumber(secondsField);
    if (!minutes || !seconds) return std::nullopt;
    int64_t total = 0;
    if (__builtin_mul_overflow(*minutes, int64_t(60), &total) ||
        __builtin_add_overflow(total, *seconds, &total))
        return std::nullopt;
    if (total < std::numeric_limits<int32_t>::min() || total > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return total;
}

}  // namespace

AudioEditView::AudioEditView(QWidget* parent)
    : QDialog(parent),
      audioFile(std::make_shared<CXAudio>()),
      ui_(std::make_unique<Ui::AudioEdit>()),
      peaksCancelled_(std::make_shared<std::atomic<bool>>(false)) {
    ui_->setupUi(this);
    Appearance::instance().scaleSizes(this);
    // A window beside the main one, not over it: the show is run from the main window while a
    // cue is being edited.
    setWindowModality(Qt::NonModal);
    setAttribute(Qt::WA_DeleteOnClose);
    connectOutlets();
    takeWheelOnlyWithFocus(this);
    // It opens with a toggle in hand rather than the title: a Space pressed for the show right
    // after opening must start the next cue, not type into the title.
    fadeInButton_->setFocus();
    panSlider_->setMinValue(-1.0);
    panSlider_->setMaxValue(1.0);
    connectActions();

    playheadTimer_ = new QTimer(this);
    playheadTimer_->setInterval(kPlayheadIntervalMs);
    connect(playheadTimer_, &QTimer::timeout, this, &AudioEditView::followPlayback);

    // Ctrl+Return is Save from anywhere in the form, fields included (Return alone commits a
    // field and is no Save).
    for (const QKeyCombination keys : {Qt::CTRL | Qt::Key_Return, Qt::CTRL | Qt::Key_Enter}) {
        auto* save = new QShortcut(QKeySequence(keys), this);
        connect(save, &QShortcut::activated, this, [this] { saveButton(saveControl_); });
    }
}

AudioEditView::~AudioEditView() {
    peaksCancelled_->store(true);
    // The base class destructor takes the focus from the field that has it, which then reports
    // its edit finished; by then this view's members are gone (found by UBSan). Connections to
    // this object only end in ~QObject, later still, so they end here.
    for (QObject* child : findChildren<QObject*>()) child->disconnect(this);
    // So does the focus change that this very destruction causes.
    QObject::disconnect(qApp, nullptr, this, nullptr);
}

void AudioEditView::connectOutlets() {
    Ui::AudioEdit& ui = *ui_;
    audioTitle_ = ui.audioTitle;
    cueNumberField_ = ui.cueNumberField;
    notesField_ = ui.notesField;
    fadeInButton_ = ui.fadeInButton;
    fadeInSeconds_ = ui.fadeInSeconds;
    fadeInSecondsText_ = ui.fadeInSecondsText;
    fadeOutButton_ = ui.fadeOutButton;
    fadeOutSeconds_ = ui.fadeOutSeconds;
    fadeOutSecondsText_ = ui.fadeOutSecondsText;
    repeatButton_ = ui.repeatButton;
    repeatCount_ = ui.repeatCount;
    repeatCountText_ = ui.repeatCountText;
    persistButton_ = ui.persistButton;
    persistDelay_ = ui.persistDelay;
    persistDelayText_ = ui.persistDelayText;
    extendButton_ = ui.extendButton;
    extendDelay_ = ui.extendDelay;
    extendDelayText_ = ui.extendDelayText;
    startMin_ = ui.startMin;
    startSec_ = ui.startSec;
    endMin_ = ui.endMin;
    endSec_ = ui.endSec;
    resetCut_ = ui.resetCut;
    panSlider_ = ui.panSlider;
    selectNextButton_ = ui.selectNextButton;
    leftOutput_ = ui.leftOutput;
    rightOutput_ = ui.rightOutput;
    leftLevel_ = ui.leftLevel;
    rightLevel_ = ui.rightLevel;
    persistExtendIcon_ = ui.persistExtendIcon;
    cutIcon_ = ui.cutIcon;
    fadeIcon_ = ui.fadeIcon;
    repeatIcon_ = ui.repeatIcon;
    fadeInInfoText_ = ui.fadeInInfoText;
    fadeOutInfoText_ = ui.fadeOutInfoText;
    repeatInfoText_ = ui.repeatInfoText;
    persistInfoText_ = ui.persistInfoText;
    extendInfoText_ = ui.extendInfoText;
    waveform_ = ui.waveform;
    saveControl_ = ui.saveButton;
}

void AudioEditView::connectActions() {
    // Only what the user does is an action: the toggles' clicks, the fields' own edits and the
    // sliders' moves. Values the program sets report nothing. Each action's change is a step
    // of the list's history; a stepper's run of steps is one.
    auto onClick = [this](QAbstractButton* button, void (AudioEditView::*action)(QObject*)) {
        connect(button, &QAbstractButton::clicked, this, [this, button, action] {
            recordChange(nullptr, [&] { (this->*action)(button); });
        });
    };
    auto onStep = [this](QDoubleSpinBox* stepper, void (AudioEditView::*action)(QObject*)) {
        connect(stepper, &QDoubleSpinBox::valueChanged, this, [this, stepper, action] {
            recordChange(stepper, [&] { (this->*action)(stepper); });
        });
    };
    auto onEdited = [this](QLineEdit* field, void (AudioEditView::*action)(QObject*)) {
        connect(field, &QLineEdit::editingFinished, this,
                [this, field, action] { recordChange(nullptr, [&] { (this->*action)(field); }); });
    };

    // What is typed into the title is one step until the field is left.
    connect(audioTitle_, &QLineEdit::textEdited, this,
            [this] { recordChange(audioTitle_, [this] { audioTitleChange(audioTitle_); }); });
    onEdited(audioTitle_, &AudioEditView::audioTitleChanged);
    connectIdentityFields();
    onClick(fadeInButton_, &AudioEditView::fadeInClick);
    onClick(fadeOutButton_, &AudioEditView::fadeOutClick);
    onStep(fadeInSeconds_, &AudioEditView::fadeInStepperChange);
    onStep(fadeOutSeconds_, &AudioEditView::fadeOutStepperChange);
    onClick(repeatButton_, &AudioEditView::repeatClick);
    connect(repeatCount_, &QSpinBox::valueChanged, this,
            [this] { recordChange(repeatCount_, [this] { repeatStepperChange(repeatCount_); }); });
    onClick(persistButton_, &AudioEditView::persistClick);
    onClick(extendButton_, &AudioEditView::extendClick);
    onStep(persistDelay_, &AudioEditView::persistStepperChange);
    onStep(extendDelay_, &AudioEditView::extendStepperChange);
    onEdited(startMin_, &AudioEditView::startMinChange);
    onEdited(startSec_, &AudioEditView::startSecChange);
    onEdited(endMin_, &AudioEditView::endMinChange);
    onEdited(endSec_, &AudioEditView::endSecChange);
    onClick(resetCut_, &AudioEditView::resetTimeClick);
    // A drag of the pan is one step; each key press on it one of its own.
    connect(panSlider_, &DoubleSlider::doubleValueChanged, this, [this] {
        recordChange(panSlider_->isSliderDown() ? panSlider_.data() : nullptr,
                     [this] { panSliderChange(panSlider_); });
    });
    connect(panSlider_, &QSlider::sliderPressed, this, [this] { gesture_ = nullptr; });
    onClick(selectNextButton_, &AudioEditView::selectNextClick);
    connectRouteFields();
    // Save records what it commits itself.
    connect(saveControl_, &QAbstractButton::clicked, this, [this] { saveButton(saveControl_); });
    connect(waveform_, &WaveformView::markerDragged, this,
            [this](WaveformView::Marker marker, double seconds) {
                recordChange(nullptr, [&] { markerDragged(marker, seconds); });
            });
}

void AudioEditView::recordChange(const QObject* gesture, const std::function<void()>& change) {
    // Taken afresh each time: the row's own controls change the same cue meanwhile.
    const nlohmann::json before = audioFile->toJSON();
    change();
    // A cue edited while it plays (its cut, fades, chain) is timed by the engine as it now is.
    audioFile->refreshPlan();
    const QObject* previous = std::exchange(gesture_, gesture);
    if (presenting_)
        presenting_->history().recordFields(audioFile, before, gesture && gesture == previous);
}

void AudioEditView::viewDidLoad() {
    const CXAudio& cue = *audioFile;
    audioTitle_->setText(QString::fromStdString(cue.audioTitle));
    audioTitle_->setCursorPosition(0);
    showIdentityFields();

    setState(fadeInButton_, cue.fadeIn);
    enable({fadeInSeconds_, fadeInSecondsText_, fadeInInfoText_}, cue.fadeIn);
    setState(fadeOutButton_, cue.fadeOut);
    enable({fadeOutSeconds_, fadeOutSecondsText_, fadeOutInfoText_}, cue.fadeOut);
    updateFadeIcon();
    showNumber(fadeInSecondsText_, cue.fadeInLength);
    setStepper(fadeInSeconds_, cue.fadeInLength);
    showNumber(fadeOutSecondsText_, cue.fadeOutLength);
    setStepper(fadeOutSeconds_, cue.fadeOutLength);

    const bool repeats = cue.repeatCount > 0 || cue.repeatCount == -1;
    setState(repeatButton_, repeats);
    CueIcons::light(repeatIcon_, repeats);
    enable({repeatCountText_, repeatCount_, repeatInfoText_}, repeats);
    if (cue.repeatCount == -1) {
        repeatCountText_->setText(kInfinite);
        setStepper(repeatCount_, 0);
    } else {
        repeatCountText_->setText(QString::number(cue.repeatCount));
        setStepper(repeatCount_, cue.repeatCount);
    }
    updateRepeatIcon();

    setState(persistButton_, cue.persistThrough);
    enable({persistInfoText_, persistDelay_, persistDelayText_}, cue.persistThrough);
    setState(extendButton_, cue.extendPlay);
    enable({extendInfoText_, extendDelay_, extendDelayText_}, cue.extendPlay);
    showNumber(persistDelayText_, cue.persistDelay);
    setStepper(persistDelay_, cue.persistDelay);
    showNumber(extendDelayText_, cue.extendDelay);
    setStepper(extendDelay_, cue.extendDelay);
    updatePersistExtendIcon();

    showCutFields(startMin_, startSec_, cue.startTime);
    showCutFields(endMin_, endSec_, cue.endTime);
    updateCutIcon();

    panSlider_->setFloatValue(cue.panAudio);
    setState(selectNextButton_, cue.moveSelection);
    showRouteFields();

    waveform_->setDuration(cue.player ? cue.player->duration() : 0.0);
    waveform_->setCut(cue.startTime, cue.endTime);
    startReadingPeaks();
    followPlayback();
    playheadTimer_->start();
}

void AudioEditView::dismissController() {
    commitTypedNumber();
    commitTypedCut();
    // Through done() rather than reject(): the editor's owner decides what a dismissal saves.
    QDialog::done(QDialog::Accepted);
}

void AudioEditView::reject() {
    commitTypedNumber();
    commitTypedCut();
    if (presenting_) {
        presenting_->saveList();
        presenting_->cueChanged(cxIndex);
    }
    QDialog::reject();
}

// Title.

void AudioEditView::audioTitleChange(QObject* sender) {
    if (auto* field = qobject_cast<QLineEdit*>(sender))
        audioFile->audioTitle = field->text().toStdString();
}

void AudioEditView::audioTitleChanged(QObject* sender) {
    audioTitleChange(sender);
}

// Fades.

void AudioEditView::fadeInClick(QObject* sender) {
    audioFile->fadeIn = isOn(sender);
    enable({fadeInSeconds_, fadeInSecondsText_, fadeInInfoText_}, audioFile->fadeIn);
    updateFadeIcon();
}

void AudioEditView::fadeOutClick(QObject* sender) {
    audioFile->fadeOut = isOn(sender);
    enable({fadeOutSeconds_, fadeOutSecondsText_, fadeOutInfoText_}, audioFile->fadeOut);
    updateFadeIcon();
}

void AudioEditView::fadeInStepperChange(QObject* sender) {
    takeStepper(sender, fadeInSecondsText_, audioFile->fadeInLength);
}

void AudioEditView::fadeOutStepperChange(QObject* sender) {
    takeStepper(sender, fadeOutSecondsText_, audioFile->fadeOutLength);
}

void AudioEditView::updateFadeIcon() {
    CueIcons::show(fadeIcon_, CueIcons::fade(audioFile->fadeIn, audioFile->fadeOut),
                   CueIcons::kFadeDescription);
}

// Repeat.

void AudioEditView::repeatClick(QObject* sender) {
    const bool on = isOn(sender);
    enable({repeatInfoText_, repeatCount_, repeatCountText_}, on);
    // On means until stopped; the stepper's 0 stands for that.
    setStepper(repeatCount_, on ? -1 : 0);
    repeatCountText_->setText(kInfinite);
    audioFile->repeatCount = on ? -1 : 0;
    if (audioFile->player) audioFile->player->setNumberOfLoops(audioFile->repeatCount);
    updateRepeatIcon();
}

void AudioEditView::repeatStepperChange(QObject* sender) {
    auto* stepper = qobject_cast<QSpinBox*>(sender);
    if (!stepper) return;
    const int count = stepper->value();
    audioFile->repeatCount = count != 0 ? count : -1;
    repeatCountText_->setText(count != 0 ? QString::number(count) : kInfinite);
    if (audioFile->player) audioFile->player->setNumberOfLoops(audioFile->repeatCount);
    updateRepeatIcon();
}

void AudioEditView::updateRepeatIcon() {
    CueIcons::show(repeatIcon_, CueIcons::repeat(audioFile->repeatCount),
                   CueIcons::kRepeatDescription);
}

// Persist through and extend play.

void AudioEditView::persistClick(QObject* sender) {
    audioFile->persistThrough = isOn(sender);
    enable({persistInfoText_, persistDelay_, persistDelayText_}, audioFile->persistThrough);
    updatePersistExtendIcon();
}

void AudioEditView::extendClick(QObject* sender) {
    audioFile->extendPlay = isOn(sender);
    enable({extendInfoText_, extendDelay_, extendDelayText_}, audioFile->extendPlay);
    updatePersistExtendIcon();
}

void AudioEditView::persistStepperChange(QObject* sender) {
    takeStepper(sender, persistDelayText_, audioFile->persistDelay);
}

void AudioEditView::extendStepperChange(QObject* sender) {
    takeStepper(sender, extendDelayText_, audioFile->extendDelay);
}

void AudioEditView::updatePersistExtendIcon() {
    CueIcons::show(persistExtendIcon_,
                   CueIcons::persistExtend(audioFile->persistThrough, audioFile->extendPlay),
                   CueIcons::kPersistExtendDescription);
}

// Cut.

void AudioEditView::showCutFields(QLineEdit* minutes, QLineEdit* seconds, double time) {
    const MinutesSeconds split = splitTime(time);
    minutes->setText(wholeNumber(split.minutes));
    seconds->setText(wholeNumber(split.seconds));
    rememberCutText();
}

void AudioEditView::rememberCutText() {
    cutText_ = {startMin_->text(), startSec_->text(), endMin_->text(), endSec_->text()};
}

bool AudioEditView::startTyped() const {
    return startMin_->text() != cutText_[0] || startSec_->text() != cutText_[1];
}

bool AudioEditView::endTyped() const {
    return endMin_->text() != cutText_[2] || endSec_->text() != cutText_[3];
}

void AudioEditView::commitTypedCut() {
    // A cut field commits on Return or when it loses focus; a close must not wait for either,
    // or the list is saved with the old cut while the player already uses the new one.
    if (startTyped() || endTyped()) recordChange(nullptr, [this] { updateCutTimes(); });
}

void AudioEditView::showCut() {
    waveform_->setCut(audioFile->startTime, audioFile->endTime);
}

void AudioEditView::startMinChange(QObject*) {
    updateCutTimes();
}
void AudioEditView::startSecChange(QObject*) {
    updateCutTimes();
}
void AudioEditView::endMinChange(QObject*) {
    updateCutTimes();
}
void AudioEditView::endSecChange(QObject*) {
    updateCutTimes();
}

void AudioEditView::updateCutTimes() {
    CXAudio& cue = *audioFile;
    // Only a pair whose text changed is read back: the fields hold whole seconds, so reading
    // an untouched pair would cut a fraction off its time, or worse, for no edit at all.
    const bool startEdited = startTyped();
    const bool endEdited = endTyped();
    const std::optional<int64_t> start = cutTotal(startMin_, startSec_);
    const std::optional<int64_t> end = cutTotal(endMin_, endSec_);

    if (startEdited) {
        if (start && *start >= 0) {
            cue.startTime = double(*start);
        } else {
            showCutFields(startMin_, startSec_, cue.startTime);
        }
    }

    const double duration = cue.player ? cue.player->duration() : 0.0;
    const double wholeDuration = std::floor(duration);
    if (endEdited) {
        if (!end || double(*end) > wholeDuration) {
            showCutFields(endMin_, endSec_, cue.endTime);
        } else if (double(*end) == wholeDuration) {
            // The whole-second end of the file is the file's exact end, so an uncut end stays
            // uncut when its fields are entered again.
            cue.endTime = duration;
        } else {
            cue.endTime = double(*end);
        }
    }
    rememberCutText();
    updateCutIcon();
    showCut();
}

void AudioEditView::resetTimeClick(QObject*) {
    CXAudio& cue = *audioFile;
    cue.startTime = 0.0;
    cue.endTime = cue.player ? cue.player->duration() : 0.0;
    showCutFields(startMin_, startSec_, cue.startTime);
    showCutFields(endMin_, endSec_, cue.endTime);
    updateCutIcon();
    showCut();
}

void AudioEditView::updateCutIcon() {
    const CXAudio& cue = *audioFile;
    const double duration = cue.player ? cue.player->duration() : 0.0;
    CueIcons::light(cutIcon_, CueIcons::cutIsSet(cue.startTime, cue.endTime, duration));
}

void AudioEditView::markerDragged(WaveformView::Marker marker, double seconds) {
    // A marker writes the whole minutes and seconds the user would type, hours included in the
    // minutes, and the cut then follows the fields' own rules.
    const int64_t whole = std::isfinite(seconds) ? int64_t(std::trunc(seconds)) : 0;
    QLineEdit* minutes = marker == WaveformView::Marker::Start ? startMin_ : endMin_;
    QLineEdit* secs = marker == WaveformView::Marker::Start ? startSec_ : endSec_;
    minutes->setText(QString::number(whole / 60));
    secs->setText(QString::number(whole % 60));
    updateCutTimes();
}

void AudioEditView::keyPressEvent(QKeyEvent* event) {
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && event->key() == Qt::Key_Return) {
        // Space and keypad Enter belong to the show in every window, so Return presses the
        // focused toggle or button here; in a field, Return has already committed it and is no
        // Save.
        auto* button = qobject_cast<QAbstractButton*>(focusWidget());
        if (button && isAncestorOf(button) && button->isEnabled()) {
            button->click();
            return;
        }
    }
    // Escape is Stop All everywhere; the editor never closes on it.
    if (event->key() == Qt::Key_Escape) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}

// Pan and move selection.

void AudioEditView::panSliderChange(QObject* sender) {
    auto* slider = qobject_cast<DoubleSlider*>(sender);
    if (!slider) return;
    audioFile->panAudio = slider->floatValue();
    if (audioFile->player) audioFile->player->setPan(audioFile->panAudio);
}

void AudioEditView::selectNextClick(QObject* sender) {
    audioFile->moveSelection = isOn(sender);
}

// Save.

void AudioEditView::saveButton(QObject*) {
    commitTypedNumber();
    commitTypedCut();
    if (presenting_) {
        presenting_->saveList();
        presenting_->cueChanged(cxIndex);
    }
    dismissController();
}

// Waveform.

void AudioEditView::startReadingPeaks() {
    const std::string path = audioFile->player ? audioFile->player->path() : std::string();
    if (path.empty()) {
        waveform_->setPeaks(std::nullopt);
        return;
    }
    connect(&peaksWatcher_, &QFutureWatcher<std::optional<WaveformPeaks>>::finished, this,
            [this] { waveform_->setPeaks(peaksWatcher_.result()); });
    std::shared_ptr<std::atomic<bool>> cancelled = peaksCancelled_;
    peaksWatcher_.setFuture(QtConcurrent::run([path, cancelled] {
        return waveform::computePeaks(path, waveform::kDefaultSlices, *cancelled);
    }));
}

void AudioEditView::followPlayback() {
    const AudioPlayer* player = audioFile->player.get();
    if (player && player->isPlaying())
        waveform_->setPlayPosition(player->currentTime());
    else
        waveform_->setPlayPosition(std::nullopt);
}
