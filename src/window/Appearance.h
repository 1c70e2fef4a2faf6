#pragma once

#include <QColor>
#include <QFont>
#include <QObject>
#include <QPalette>
#include <QString>

class QWidget;

// How the window looks on this machine: a dark palette for a dim booth, a larger text size to
// read from a step back, and whether a playing row counts up or down. Kept in the settings,
// applied to the whole application at once and at every start.
class Appearance : public QObject {
    Q_OBJECT
public:
    static constexpr int kTextSizes[] = {100, 125, 150, 200};

    static Appearance& instance();

    bool dark() const { return dark_; }
    int textPercent() const { return textPercent_; }
    double textScale() const { return textPercent_ / 100.0; }
    // A playing row's position as the time still to play ("-0:07.3") rather than played.
    bool rowsShowTimeLeft() const { return timeLeft_; }

    // Each saves the choice and applies it at once.
    void setDark(bool on);
    void setTextPercent(int percent);
    void setRowsShowTimeLeft(bool on);
    // Reads the saved choices and applies them (the first call also learns the system's look).
    void applySaved();

    // A length laid out for 100 % text, at the present text size.
    int scaled(int length) const;
    // The minimum and maximum sizes the layout gives the widgets under `root` (and root itself),
    // scaled to the present text size; a widget scaled before is scaled again from its own.
    void scaleSizes(QWidget* root) const;
    // The tint of a selected row: light enough for the green and gray icons and the play
    // button on the light palette, deep enough for white text on the dark one.
    QColor selectionTint() const;

signals:
    void changed();

private:
    Appearance() = default;
    void apply();
    static QPalette darkPalette();

    bool learned_ = false;
    QFont systemFont_;
    QPalette systemPalette_;
    QString systemStyle_;
    bool dark_ = false;
    int textPercent_ = 100;
    bool timeLeft_ = false;
};
