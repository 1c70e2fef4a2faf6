#include "window/ConfirmDialog.h"

#include <QMessageBox>
#include <QPushButton>

bool confirmDestructive(QWidget* parent, const Confirmation& question) {
    QMessageBox box(QMessageBox::Warning, question.title, question.text, QMessageBox::NoButton,
                    parent);
    QPushButton* confirm = box.addButton(question.confirm, QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    cancel->setFocus();
    box.exec();
    return box.clickedButton() == confirm;
}

NameTaken askNameTaken(QWidget* parent, const QString& storedName) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Audio File Exists"),
                    QStringLiteral("The audio folder already holds a file named “%1”.\n"
                                   "Keep both, or replace it for every cue that uses it?")
                        .arg(storedName),
                    QMessageBox::NoButton, parent);
    QPushButton* keep = box.addButton(QStringLiteral("&Keep Both"), QMessageBox::AcceptRole);
    QPushButton* replace = box.addButton(QStringLiteral("&Replace"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(keep);
    box.setEscapeButton(cancel);
    keep->setFocus();
    box.exec();
    if (box.clickedButton() == replace) return NameTaken::Replace;
    if (box.clickedButton() == keep) return NameTaken::KeepBoth;
    return NameTaken::Cancel;
}
