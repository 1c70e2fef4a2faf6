#pragma once

#include <QFrame>
#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
class ViewController;
class CXAudio;

// The top of the main window, read from the operator's seat: the cue the next Go fires (its
// number, title, notes, length, outputs and colour) with a GO button, and beside it every cue
// playing with the time it has left, and every chained start still waiting. It never takes
// the keyboard: Space, Escape and the arrows stay with the show.
//
// Its height never changes during a show, so the list below never moves under the operator's
// eye or pointer: the title takes one line, the notes two (more scroll), and the playing cues
// and waiting chains three (more scroll). Only a new text size changes it.
class StandbyPanel : public QFrame {
    Q_OBJECT
public:
    StandbyPanel(ViewController& controller, QWidget* parent = nullptr);

    QPushButton* goButton() const { return go_; }
    QLabel* numberLabel() const { return number_; }
    QLabel* titleLabel() const { return title_; }
    QLabel* notesLabel() const { return notes_; }
    QLabel* lengthLabel() const { return length_; }
    QLabel* routeLabel() const { return route_; }

    // The cue standing by again: the selection, the list or the patch changed.
    void showStandby();
    // One pass of the position display: playing cues and waiting chains.
    void showPlaying();

    // A playing cue's line, and a waiting chain's.
    struct PlayingLine {
        QWidget* box;
        QLabel* number;
        QLabel* title;
        QProgressBar* progress;
        QLabel* left;
    };
    const std::vector<PlayingLine>& playingLines() const { return playing_; }
    const std::vector<QLabel*>& followLines() const { return follows_; }

    static constexpr int kNotesLines = 2;
    static constexpr int kRunningLines = 3;

signals:
    // The GO button was pressed: the window fires Go as Space does.
    void goPressed();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void applyFonts();
    // The title on its one line, cut short with an ellipsis where it is too long.
    void fitTitle();
    PlayingLine& playingLine(std::size_t index);
    QLabel* followLine(std::size_t index);
    // The number the operator calls the cue by: its own, else its place in the list.
    static QString numberOf(const CXAudio& cue, int row);

    ViewController& controller_;
    QFrame* accent_;
    QLabel* number_;
    QLabel* title_;
    QLabel* notes_;
    QLabel* length_;
    QLabel* route_;
    QScrollArea* notesArea_;
    QPushButton* go_;
    QScrollArea* runningArea_;
    QVBoxLayout* running_;
    QLabel* idle_;
    QString fullTitle_;
    int lineHeight_ = 0;
    std::vector<PlayingLine> playing_;
    std::vector<QLabel*> follows_;
};
