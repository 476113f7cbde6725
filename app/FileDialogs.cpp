// The platform's file dialogs and the desktop's file manager.
#include "app/FileDialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QUrl>

namespace pellorin {

QString DesktopFileDialogs::ChooseFolder(QWidget* owner, const QString& caption,
                                         const QString& start) {
    return QFileDialog::getExistingDirectory(owner, caption, start);
}

QString DesktopFileDialogs::ChooseSaveFile(QWidget* owner, const QString& caption,
                                           const QString& suggested) {
    return QFileDialog::getSaveFileName(owner, caption, suggested);
}

bool DesktopFileDialogs::OpenFolder(const QString& folder) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

}  // namespace pellorin
