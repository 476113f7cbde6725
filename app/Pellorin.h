// The application object: start-up runs the main window modally, and the program ends with it.
#pragma once

#include <QApplication>

namespace pellorin {

class CPellorinApp {
  public:
    CPellorinApp(int& argc, char** argv);
    // Runs the window until it closes; returns false, as there is no message loop of its own
    // afterwards.
    bool InitInstance();

  private:
    QApplication m_application;
};

}  // namespace pellorin
