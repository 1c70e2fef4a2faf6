#pragma once

#include <QString>
#include <QWidget>
#include <vector>

class QLabel;
class QPushButton;
class QTreeWidget;

// Lists the cues whose audio file is missing, with a way to find the files in a folder. A
// window of its own beside the main one, never modal: the show goes on while it is open.
class MissingAudioWindow : public QWidget {
    Q_OBJECT
public:
    struct Row {
        QString number;  // the operator's cue number
        QString title;
        QString fileName;
    };

    explicit MissingAudioWindow(QWidget* parent);

    void setRows(const std::vector<Row>& rows);
    // Says that a search runs; the button waits for it.
    void setSearching(bool searching);

    QTreeWidget* list() const { return list_; }
    QPushButton* findButton() const { return find_; }

signals:
    void findRequested();

private:
    QLabel* summary_;
    QTreeWidget* list_;
    QPushButton* find_;
    bool searching_ = false;
    bool empty_ = true;
};
