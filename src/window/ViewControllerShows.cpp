// Shows as folders: opening another one in place of the show in use, a new one, and a copy of
// the show in use that the program goes on in.
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>
#include <vector>

#include "model/ListFile.h"
#include "platform/MessageLog.h"
#include "storage/Importer.h"
#include "storage/StoragePaths.h"
#include "window/RecentShows.h"
#include "window/TransferPanel.h"
#include "window/ViewController.h"

namespace fs = std::filesystem;

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

void tell(const QString& text) {
    MessageLog::instance().report(text);
}

// A folder dialog that takes a show's cuevox.json as its folder: the operator may know a show
// by its list file.
class ShowFolderDialog : public QFileDialog {
public:
    ShowFolderDialog(QWidget* parent, const QString& caption, bool listToo)
        : QFileDialog(parent, caption), listToo_(listToo) {
        setFileMode(QFileDialog::Directory);
        // Qt's own dialog: a native one would not let accept() below see a file.
        setOption(QFileDialog::DontUseNativeDialog);
        setOption(QFileDialog::ShowDirsOnly, !listToo);
        if (listToo)
            setNameFilter(tr("Show folders and cue lists (%1)").arg(storage::kListFileName));
    }

    void accept() override {
        const QStringList chosen = selectedFiles();
        const QFileInfo file(chosen.value(0));
        if (listToo_ && file.isFile() && file.fileName() == QLatin1String(storage::kListFileName)) {
            list_ = file.absoluteFilePath();
            QDialog::accept();
            return;
        }
        QFileDialog::accept();
    }

    QString chosen() const { return list_.isEmpty() ? selectedFiles().value(0) : list_; }

private:
    bool listToo_;
    QString list_;
};

// The path as one spelling, absolute and without a trailing slash.
fs::path absolutePath(const std::string& path) {
    std::error_code ec;
    fs::path out = fs::absolute(fs::path(path), ec).lexically_normal();
    if (!out.has_filename()) out = out.parent_path();
    return out;
}

// Through links, as far as the path exists: two spellings of one folder compare equal.
fs::path realPath(const fs::path& path) {
    std::error_code ec;
    fs::path real = fs::weakly_canonical(path, ec);
    return ec ? path : real;
}

bool within(const fs::path& inner, const fs::path& outer) {
    const auto [end, rest] = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
    return end == outer.end();
}

// The stored files the list text names, as a load would take them.
std::set<std::string> namedFiles(const std::string& text) {
    std::set<std::string> names;
    const auto value = listfile::parse(text);
    if (!value || !value->is_array()) return names;
    for (const nlohmann::json& element : *value) {
        const auto file = element.is_object() ? element.find("fileName") : element.end();
        if (file == element.end() || !file->is_string()) continue;
        const std::string name = file->get<std::string>();
        if (storage::isStoredName(name)) names.insert(name);
    }
    return names;
}

// What a copy made so far, taken back when it cannot be finished: nothing half made is left
// in the operator's folder.
struct CopyMade {
    fs::path folder;
    bool madeFolder = false;
    std::vector<fs::path> files;

    void undo() const {
        std::error_code ec;
        for (const fs::path& file : files) fs::remove(file, ec);
        fs::remove(folder / "audio", ec);  // only when empty
        if (madeFolder) fs::remove(folder, ec);
    }
};

}  // namespace

QString ViewController::chooseFolder(const QString& caption, bool listToo) {
    QWidget* window = audioTable_ ? audioTable_->window() : nullptr;
    if (folderChooser_) return folderChooser_(window, caption, listToo);
    ShowFolderDialog dialog(window, caption, listToo);
    dialog.setDirectory(QString::fromStdString(storage::showFolder()));
    return dialog.exec() == QDialog::Accepted ? dialog.chosen() : QString();
}

QString ViewController::showBusy() const {
    if (showMode_) return QStringLiteral("show mode locks the list");
    if (transfer_) return QStringLiteral("a show is being exported or imported");
    if (importing_ || opening_ > 0)
        return QStringLiteral(
            "cues are still being imported or duplicated; try again once "
            "they are in the list");
    return {};
}

void ViewController::newShowMenuButton() {
    const QString chosen = chooseFolder(tr("New Show: a new or empty folder"), false);
    if (chosen.isEmpty()) return;
    const std::string folder = absolutePath(chosen.toStdString()).string();
    std::error_code ec;
    if (fs::exists(folder, ec) &&
        (!fs::is_directory(folder, ec) || storage::folderHoldsFiles(folder))) {
        tell(QStringLiteral("No new show was made in %1: a new show needs a new or empty folder.")
                 .arg(qs(folder)));
        return;
    }
    switchShow(folder);
}

void ViewController::openShowMenuButton() {
    const QString chosen = chooseFolder(tr("Open Show"), true);
    if (!chosen.isEmpty()) openShow(chosen);
}

void ViewController::saveShowAsMenuButton() {
    const QString chosen = chooseFolder(tr("Save Show As: a new or empty folder"), false);
    if (!chosen.isEmpty()) saveShowAs(chosen);
}

void ViewController::openRecentShow(const QString& folder) {
    if (!QFileInfo(folder).isDir()) {
        tell(QStringLiteral("The show %1 is no longer there; it is taken off Open Recent.")
                 .arg(folder));
        recentshows::remove(folder);
        return;
    }
    openShow(folder);
}

void ViewController::openShow(const QString& folder) {
    std::string why;
    const std::string show = storage::showFolderFor(folder.toStdString(), &why);
    if (show.empty()) {
        tell(QStringLiteral("The show was not opened: %1.").arg(qs(why)));
        return;
    }
    switchShow(show);
}

bool ViewController::switchShow(const std::string& folder) {
    const auto refuse = [&](const QString& why) {
        tell(QStringLiteral("The show %1 was not opened: %2.").arg(qs(folder), why));
        return false;
    };
    if (const QString busy = showBusy(); !busy.isEmpty()) return refuse(busy);
    if (realPath(folder) == realPath(absolutePath(storage::showFolder()))) {
        tell(QStringLiteral("The show %1 is open already.").arg(qs(folder)));
        return false;
    }
    if (!QDir().mkpath(qs(folder))) return refuse(QStringLiteral("the folder cannot be made"));
    // What was being edited belongs to the show being left, and reaches its disk first.
    closeAudioEditor();
    store_.waitForIdle();
    QString why;
    if (showGuard_ && !showGuard_(qs(folder + "/" + storage::kListFileName), &why))
        return refuse(why);

    // Nothing of the show being left may sound, or start from a chain, in the next one.
    panic();
    silenceShow();
    lastStarted_.reset();
    // Its steps name cues and audio of the other folder.
    history_.stack().clear();
    cxList.clear();
    ++showSerial_;
    storage::setShowFolder(folder);
    loadList();
    if (audioTable_) {
        audioTable_->reloadData();
        // The new show's first cue stands by, as at start; an empty one has nothing selected.
        audioTable_->selectRowIndexes(cxList.empty() ? QList<int>{} : QList<int>{0}, false);
    }
    recentshows::add(qs(folder));
    emit showOpened();
    tell(QStringLiteral("Opened the show %1 (%2 cues).").arg(qs(folder)).arg(cxList.size()));
    return true;
}

bool ViewController::saveShowAs(const QString& folder) {
    const fs::path target = absolutePath(folder.toStdString());
    const auto refuse = [&](const QString& why) {
        tell(QStringLiteral("The show was not saved as %1: %2.").arg(qs(target.string()), why));
        return false;
    };
    if (const QString busy = showBusy(); !busy.isEmpty()) return refuse(busy);
    const fs::path from = absolutePath(storage::showFolder());
    if (within(realPath(target), realPath(from)))
        return refuse(QStringLiteral("a show cannot be copied into itself"));
    std::error_code ec;
    if (fs::exists(target, ec) && !fs::is_directory(target, ec))
        return refuse(QStringLiteral("it is not a folder"));
    if (fs::exists(target / storage::kListFileName, ec))
        return refuse(QStringLiteral("it holds a show already"));
    if (storage::folderHoldsFiles(target.string()))
        return refuse(QStringLiteral("it holds other files; choose a new or empty folder"));

    // The copy is of the list as the window has it, every change written.
    closeAudioEditor();
    saveList();
    store_.waitForIdle();
    if (store_.savesFailing()) return refuse(QStringLiteral("the list in use is not being saved"));
    QFile list(qs(storage::listFilePath()));
    if (!list.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("its list cannot be read (%1)").arg(list.errorString()));
    const QByteArray text = list.readAll();

    CopyMade made{target, !fs::exists(target, ec), {}};
    fs::create_directories(target / "audio", ec);
    if (ec) {
        made.undo();
        return refuse(qs(ec.message()));
    }
    std::string error;
    for (const std::string& name : namedFiles(text.toStdString())) {
        const std::string source = storage::storedFilePath(name);
        // A file the list names but the show lacks is missing in the copy as well.
        if (!fs::exists(source, ec)) continue;
        const fs::path copy = target / "audio" / name;
        made.files.push_back(copy);
        if (!importer::copyFile(source, copy.string(), nullptr, &error)) {
            made.undo();
            return refuse(QStringLiteral("%1 could not be copied (%2)").arg(qs(name), qs(error)));
        }
    }
    // The list last: until it is there, the folder is no show.
    const fs::path listCopy = target / storage::kListFileName;
    made.files.push_back(listCopy);
    if (!importer::copyFile(storage::listFilePath(), listCopy.string(), nullptr, &error)) {
        made.undo();
        return refuse(QStringLiteral("the list could not be copied (%1)").arg(qs(error)));
    }
    if (!switchShow(target.string())) return false;
    tell(QStringLiteral("The show was saved as %1, and goes on there.").arg(qs(target.string())));
    return true;
}
