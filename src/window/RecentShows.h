#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QMenu;
class ViewController;

// The shows opened last on this machine, most recent first, kept in the settings: a show's
// folder says nothing of the machines it was opened on.
namespace recentshows {

constexpr int kKept = 10;
QStringList list();
// Puts the folder first, once.
void add(const QString& folder);
void remove(const QString& folder);
void clear();

}  // namespace recentshows

// File ▸ Open Recent, filled afresh each time it opens, so another window's show or one taken
// off meanwhile shows as it is now.
class RecentShowsMenu : public QObject {
    Q_OBJECT
public:
    RecentShowsMenu(QMenu* menu, ViewController& controller);

private:
    void fill();

    QMenu* menu_;
    ViewController& controller_;
};
