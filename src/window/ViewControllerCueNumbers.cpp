// The operator's cue numbers, and the colours the rows' numbers stand on: what a stage manager
// calls and what a desk fires, so nothing but the operator ever changes them.
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <algorithm>

#include "model/CXAudio.h"
#include "model/CueNumbers.h"
#include "platform/MessageLog.h"
#include "window/CXTableCell.h"
#include "window/CueNumberEditor.h"
#include "window/ViewController.h"

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// Each a different hue from across the room, and different from the selection's tint.
const std::vector<std::pair<QString, QString>> kColours = {
    {QStringLiteral("Red"), QStringLiteral("#d83a3a")},
    {QStringLiteral("Orange"), QStringLiteral("#f08c28")},
    {QStringLiteral("Yellow"), QStringLiteral("#f2d43c")},
    {QStringLiteral("Green"), QStringLiteral("#3fa34d")},
    {QStringLiteral("Teal"), QStringLiteral("#2aa198")},
    {QStringLiteral("Blue"), QStringLiteral("#2f6fd0")},
    {QStringLiteral("Purple"), QStringLiteral("#8a4fc8")},
    {QStringLiteral("Grey"), QStringLiteral("#8c8c8c")},
};

// The Start and Step a renumber asks for; false when cancelled.
bool askStartAndStep(QWidget* parent, QString* start, QString* step) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Renumber Cues"));
    auto* form = new QFormLayout(&dialog);
    auto* startField = new QLineEdit(*start, &dialog);
    auto* stepField = new QLineEdit(*step, &dialog);
    form->addRow(QStringLiteral("&Start"), startField);
    form->addRow(QStringLiteral("S&tep"), stepField);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&Renumber"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    startField->selectAll();
    if (dialog.exec() != QDialog::Accepted) return false;
    *start = startField->text().trimmed();
    *step = stepField->text().trimmed();
    return true;
}

}  // namespace

QString ViewController::cueName(const CXAudio& cue) {
    return QStringLiteral("cue %1 “%2”").arg(qs(cue.cueNumber), qs(cue.audioTitle));
}

void ViewController::showCueNumber(QLabel* label, const CXAudio& cue) {
    if (!label) return;
    label->setText(qs(cue.cueNumber));
    // The notes are read where the number is: a hover over it shows them, as written.
    const QString full = cue.notes.empty() ? qs(cue.cueNumber)
                                           : qs(cue.cueNumber) + QLatin1Char('\n') + qs(cue.notes);
    label->setToolTip(
        QStringLiteral("<p style='white-space:pre-wrap'>%1</p>").arg(full.toHtmlEscaped()));
    const QColor colour(qs(cue.color));
    // Inside the table a widget takes the view's roles (Base, Text) unless told otherwise.
    label->setBackgroundRole(QPalette::Window);
    label->setForegroundRole(QPalette::WindowText);
    label->setAutoFillBackground(colour.isValid());
    QPalette palette = label->parentWidget() ? label->parentWidget()->palette() : QPalette();
    if (colour.isValid()) {
        palette.setColor(QPalette::Window, colour);
        // Relative luminance (sRGB weights): dark text on light colours, white on dark ones.
        const double luminance =
            0.2126 * colour.redF() + 0.7152 * colour.greenF() + 0.0722 * colour.blueF();
        palette.setColor(QPalette::WindowText,
                         luminance > 0.5 ? QColor(0x1b, 0x1b, 0x1b) : QColor(Qt::white));
    }
    label->setPalette(palette);
}

void ViewController::showCueNumber(int row) {
    if (!audioTable_ || !hasRow(row)) return;
    if (CXTableCell* cell = audioTable_->viewAtColumn(0, row))
        showCueNumber(cell->cxIndex(), *cxList[std::size_t(row)]);
}

QString ViewController::cueNumberRefusal(int row, const std::string& number) const {
    if (!cuenumbers::isValid(number))
        return QStringLiteral(
                   "“%1” cannot be a cue number: it takes 1 to %2 characters, no "
                   "spaces and none of / # * ? , [ ] { }")
            .arg(qs(number))
            .arg(cuenumbers::kMaxLength);
    const int other = cuenumbers::rowOf(cxList, number);
    if (other >= 0 && other != row)
        return QStringLiteral("Cue number %1 is taken by “%2”")
            .arg(qs(number), qs(cxList[std::size_t(other)]->audioTitle));
    return {};
}

bool ViewController::setCueNumber(int row, const QString& text) {
    if (!hasRow(row)) return false;
    const std::shared_ptr<CXAudio>& cue = cxList[std::size_t(row)];
    if (showMode_) {
        MessageLog::instance().report(
            QStringLiteral("The number of %1 was not changed: show mode locks the list.")
                .arg(cueName(*cue)));
        return false;
    }
    const std::string number = cuenumbers::trimmed(text.toStdString());
    if (number == cue->cueNumber) return true;
    const QString refusal = cueNumberRefusal(row, number);
    if (!refusal.isEmpty()) {
        MessageLog::instance().report(refusal +
                                      QStringLiteral("; %1 keeps its number.").arg(cueName(*cue)));
        return false;
    }
    const nlohmann::json before = cue->toJSON();
    cue->cueNumber = number;
    history_.recordFields(cue, before);
    showCueNumber(row);
    saveList();
    return true;
}

void ViewController::editCueNumber(int row) {
    if (!audioTable_ || !hasRow(row) || showMode_) return;
    // The editor would show, and on closing give back, the number this one changes.
    closeAudioEditor();
    audioTable_->scrollTo(audioTable_->model()->index(row, 0));
    audioTable_->syncCells();
    CXTableCell* cell = audioTable_->viewAtColumn(0, row);
    if (!cell) return;
    auto* editor = new CueNumberEditor(cell);
    editor->setGeometry(cell->rect());
    editor->setText(qs(cxList[std::size_t(row)]->cueNumber));
    // The cue, not the row: what the editor renames stays the same whatever moves meanwhile.
    std::weak_ptr<CXAudio> cue = cxList[std::size_t(row)];
    connect(editor, &CueNumberEditor::closed, this, [this] {
        if (audioTable_) audioTable_->setFocus(Qt::OtherFocusReason);
    });
    connect(editor, &CueNumberEditor::committed, this, [this, cue](const QString& text) {
        const auto found = std::find(cxList.begin(), cxList.end(), cue.lock());
        if (found != cxList.end()) setCueNumber(int(found - cxList.begin()), text);
    });
    editor->show();
    editor->setFocus(Qt::OtherFocusReason);
    editor->selectAll();
}

std::vector<int> ViewController::selectedRows() const {
    std::vector<int> rows;
    if (!audioTable_) return rows;
    for (const QModelIndex& index : audioTable_->selectionModel()->selectedRows())
        if (hasRow(index.row())) rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

bool ViewController::renumberSelected(const QString& start, const QString& step) {
    const std::vector<int> rows = selectedRows();
    if (rows.empty() || importing_) return false;
    if (showMode_) {
        MessageLog::instance().report(
            QStringLiteral("The cues were not renumbered: show mode locks the list."));
        return false;
    }
    const std::vector<std::string> numbers =
        cuenumbers::renumbered(cxList, rows, start.toStdString(), step.toStdString());
    if (numbers.empty()) {
        MessageLog::instance().report(
            QStringLiteral("The cues were not renumbered: from %1 in steps of %2, a number "
                           "would be unfit or taken by a cue not selected.")
                .arg(start, step));
        return false;
    }
    closeAudioEditor();
    ListHistory::CueFields before;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::shared_ptr<CXAudio>& cue = cxList[std::size_t(rows[i])];
        before.emplace_back(cue, cue->toJSON());
        cue->cueNumber = numbers[i];
        showCueNumber(rows[i]);
    }
    history_.recordFields(before);
    saveList();
    return true;
}

void ViewController::askRenumberSelected() {
    const std::vector<int> rows = selectedRows();
    if (rows.empty() || showMode_ || !audioTable_) return;
    const long long whole = cuenumbers::wholePart(cxList[std::size_t(rows.front())]->cueNumber);
    QString start = QString::number(whole > 0 ? whole : 1);
    QString step = QStringLiteral("1");
    if (askStartAndStep(audioTable_->window(), &start, &step)) renumberSelected(start, step);
}

void ViewController::colourSelected(const QString& color) {
    const std::vector<int> rows = selectedRows();
    if (rows.empty() || showMode_ || importing_) return;
    closeAudioEditor();
    ListHistory::CueFields before;
    for (int row : rows) {
        const std::shared_ptr<CXAudio>& cue = cxList[std::size_t(row)];
        before.emplace_back(cue, cue->toJSON());
        cue->color = color.toStdString();
        showCueNumber(row);
    }
    history_.recordFields(before);
    saveList();
}

void ViewController::addNumberItems(QMenu* menu) {
    if (showMode_) return;
    menu->addAction(QStringLiteral("Re&number…"), this, [this] { askRenumberSelected(); });
    QMenu* colours = menu->addMenu(QStringLiteral("&Colour"));
    for (const auto& [name, value] : kColours) {
        QPixmap swatch(12, 12);
        swatch.fill(QColor(value));
        // Captured by its own name: clang 14 cannot capture a structured binding itself.
        colours->addAction(QIcon(swatch), name, this,
                           [this, value = value] { colourSelected(value); });
    }
    colours->addSeparator();
    colours->addAction(QStringLiteral("&None"), this, [this] { colourSelected({}); });
}
