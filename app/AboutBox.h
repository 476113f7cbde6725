// The About box (dialog template 100): the icon, the program's name and version, one more line
// and an OK button.
#pragma once

#include <QDialog>

namespace pellorin {

class CAboutBox : public QDialog {
  public:
    explicit CAboutBox(QWidget* parent = nullptr);
};

}  // namespace pellorin
