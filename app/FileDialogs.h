// The window's file and folder choosers and the desktop's file manager behind an interface, so
// tests can answer them on the offscreen platform.
#pragma once

#include <QString>

class QWidget;

namespace pellorin {

class FileDialogs {
  public:
    virtual ~FileDialogs() = default;
    // A folder chooser starting at `start`; "" when the operator cancels.
    virtual QString ChooseFolder(QWidget* owner, const QString& caption, const QString& start) = 0;
    // A "save as" chooser proposing `suggested`; "" when the operator cancels.
    virtual QString ChooseSaveFile(QWidget* owner, const QString& caption,
                                   const QString& suggested) = 0;
    // Shows the folder in the desktop's file manager; false when there is none to ask.
    virtual bool OpenFolder(const QString& folder) = 0;
};

// The platform's own dialogs, modal to the window, and the desktop's file manager.
class DesktopFileDialogs : public FileDialogs {
  public:
    QString ChooseFolder(QWidget* owner, const QString& caption, const QString& start) override;
    QString ChooseSaveFile(QWidget* owner, const QString& caption,
                           const QString& suggested) override;
    bool OpenFolder(const QString& folder) override;
};

}  // namespace pellorin
