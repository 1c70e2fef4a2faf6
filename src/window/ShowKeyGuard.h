#pragma once

#include <QObject>

// Space and Escape are the show keys (Go, Stop All), but in a text field they belong to the
// text: a title with spaces must be typeable, and Escape there must not stop the show. This
// filter lets a focused text entry claim both keys before any shortcut sees them.
class ShowKeyGuard : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override;
};
