#include "window/WheelNeedsFocus.h"

#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QEvent>
#include <QScrollBar>
#include <QVariant>
#include <QWidget>

namespace {

const char* const kGuarded = "wheelNeedsFocus";

class WheelFilter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Wheel) return false;
        if (static_cast<QWidget*>(watched)->hasFocus()) return false;
        // Ignored, the event climbs to the parent, which may scroll.
        event->ignore();
        return true;
    }
};

bool changesOnWheel(const QWidget* control) {
    // A scroll bar never has the focus, and scrolling is what a wheel is for.
    if (qobject_cast<const QScrollBar*>(control)) return false;
    return qobject_cast<const QAbstractSpinBox*>(control) ||
           qobject_cast<const QAbstractSlider*>(control) || qobject_cast<const QComboBox*>(control);
}

}  // namespace

void takeWheelOnlyWithFocus(QWidget* root) {
    auto* filter = new WheelFilter(root);
    for (QWidget* control : root->findChildren<QWidget*>()) {
        // A part that guards itself may sit in a window that guards all of its own.
        if (!changesOnWheel(control) || control->property(kGuarded).toBool()) continue;
        control->setProperty(kGuarded, true);
        // Steppers and lists take the focus from a wheel turn by default, and with it the turn.
        if (control->focusPolicy() == Qt::WheelFocus) control->setFocusPolicy(Qt::StrongFocus);
        control->installEventFilter(filter);
    }
}
