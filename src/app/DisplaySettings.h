#pragma once

#include <QWidget>

class QCheckBox;
class QComboBox;

// How the window looks on this machine: the dark theme, the text size and whether a playing
// row counts its time up or down. Each choice is saved and shown at once.
class DisplaySettings : public QWidget {
    Q_OBJECT
public:
    explicit DisplaySettings(QWidget* parent = nullptr);
    QCheckBox* darkTheme() const { return dark_; }
    QComboBox* textSize() const { return textSize_; }
    QComboBox* rowTime() const { return rowTime_; }

private:
    QCheckBox* dark_;
    QComboBox* textSize_;
    QComboBox* rowTime_;
};
