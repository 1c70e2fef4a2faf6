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
