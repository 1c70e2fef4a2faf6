#include "window/RecentShows.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QSettings>

#include "window/ViewController.h"

namespace recentshows {

namespace {

const QString kKey = QStringLiteral("shows/recent");

QString cleaned(const QString& folder) {
    return QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
}

void store(const QStringList& folders) {
    QSettings().setValue(kKey, folders);
}

}  // namespace

QStringList list() {
    return QSettings().value(kKey).toStringList();
}

void add(const QString& folder) {
    QStringList folders = list();
    const QString entry = cleaned(folder);
    folders.removeAll(entry);
    folders.prepend(entry);
    while (folders.size() > kKept) folders.removeLast();
    store(folders);
}

void remove(const QString& folder) {
    QStringList folders = list();
    folders.removeAll(cleaned(folder));
    store(folders);
}

void clear() {
    QSettings().remove(kKey);
}

}  // namespace recentshows

RecentShowsMenu::RecentShowsMenu(QMenu* menu, ViewController& controller)
    : QObject(menu), menu_(menu), controller_(controller) {
    connect(menu_, &QMenu::aboutToShow, this, &RecentShowsMenu::fill);
    fill();
}

void RecentShowsMenu::fill() {
    menu_->clear();
    const QStringList folders = recentshows::list();
    for (const QString& folder : folders) {
        // The folder's name first, as the title bar shows it; its path tells two of one name
        // apart.
        const QString name = QFileInfo(folder).fileName();
        QString text = name.isEmpty() ? folder : tr("%1 — %2").arg(name, folder);
        // A folder's "&" is not the item's key.
        QAction* item = menu_->addAction(text.replace(QLatin1Char('&'), QStringLiteral("&&")));
        item->setData(folder);
        connect(item, &QAction::triggered, &controller_,
                [this, folder] { controller_.openRecentShow(folder); });
    }
    menu_->addSeparator();
    QAction* clear = menu_->addAction(tr("&Clear Menu"));
    clear->setEnabled(!folders.isEmpty());
    connect(clear, &QAction::triggered, this, [] { recentshows::clear(); });
}
