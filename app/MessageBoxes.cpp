// Modal message boxes without an icon, as the window shows them.
#include "app/MessageBoxes.h"

#include <QMessageBox>

namespace pellorin {

void ModalMessageBoxes::Inform(QWidget* owner, const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

bool ModalMessageBoxes::AskYesNo(QWidget* owner, const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Yes | QMessageBox::No, owner);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace pellorin
