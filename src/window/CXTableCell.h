#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include "widgets/DoubleSlider.h"
#include "widgets/SymbolImageView.h"

// The cell view of every column of the cue table. A cell connects only the outlets its column
// uses; the others stay empty. The controls belong to the cell's widget tree, so the outlets
// are weak and read as null once a control is gone.
class CXTableCell : public QWidget {
    Q_OBJECT
public:
    explicit CXTableCell(QWidget* parent = nullptr) : QWidget(parent) {}

    QLabel* cxIndex() const { return cxIndex_; }
    void setCxIndex(QLabel* v) { cxIndex_ = v; }
    QPushButton* cxPlayButton() const { return cxPlayButton_; }
    void setCxPlayButton(QPushButton* v) { cxPlayButton_ = v; }
    QLineEdit* cxAudioTitle() const { return cxAudioTitle_; }
    void setCxAudioTitle(QLineEdit* v) { cxAudioTitle_ = v; }
    SymbolImageView* cxPersistExtendIcon() const { return cxPersistExtendIcon_; }
    void setCxPersistExtendIcon(SymbolImageView* v) { cxPersistExtendIcon_ = v; }
    SymbolImageView* cxCutIcon() const { return cxCutIcon_; }
    void setCxCutIcon(SymbolImageView* v) { cxCutIcon_ = v; }
    SymbolImageView* cxFadeIcon() const { return cxFadeIcon_; }
    void setCxFadeIcon(SymbolImageView* v) { cxFadeIcon_ = v; }
    SymbolImageView* cxRepeatIcon() const { return cxRepeatIcon_; }
    void setCxRepeatIcon(SymbolImageView* v) { cxRepeatIcon_ = v; }
    QLabel* cxRouteLabel() const { return cxRouteLabel_; }
    void setCxRouteLabel(QLabel* v) { cxRouteLabel_ = v; }
    QLabel* cxStartTime() const { return cxStartTime_; }
    void setCxStartTime(QLabel* v) { cxStartTime_ = v; }
    QLabel* cxEndTime() const { return cxEndTime_; }
    void setCxEndTime(QLabel* v) { cxEndTime_ = v; }
    DoubleSlider* cxLengthSlider() const { return cxLengthSlider_; }
    void setCxLengthSlider(DoubleSlider* v) { cxLengthSlider_ = v; }
    DoubleSlider* cxVolumeSlider() const { return cxVolumeSlider_; }
    void setCxVolumeSlider(DoubleSlider* v) { cxVolumeSlider_ = v; }
    QPushButton* cxEditButton() const { return cxEditButton_; }
    void setCxEditButton(QPushButton* v) { cxEditButton_ = v; }

    // A cell from the prototype with that identifier ("indexCell" … "modifyCell"), its
    // column's outlets connected. Null for an identifier no prototype has.
    static CXTableCell* makeViewWithIdentifier(const QString& identifier,
                                               QWidget* parent = nullptr);

private:
    QPointer<QLabel> cxIndex_;
    QPointer<QPushButton> cxPlayButton_;
    QPointer<QLineEdit> cxAudioTitle_;
    QPointer<SymbolImageView> cxPersistExtendIcon_;
    QPointer<SymbolImageView> cxCutIcon_;
    QPointer<SymbolImageView> cxFadeIcon_;
    QPointer<SymbolImageView> cxRepeatIcon_;
    QPointer<QLabel> cxRouteLabel_;
    QPointer<QLabel> cxStartTime_;
    QPointer<QLabel> cxEndTime_;
    QPointer<DoubleSlider> cxLengthSlider_;
    QPointer<DoubleSlider> cxVolumeSlider_;
    QPointer<QPushButton> cxEditButton_;
};

// A control's row travels with it as the "tag" property, like the controls of the window
// layout; renumbering rewrites it when rows shift.
inline void setTag(QObject* control, int row) {
    if (control) control->setProperty("tag", row);
}
inline int tagOf(const QObject* control) {
    return control ? control->property("tag").toInt() : -1;
}
