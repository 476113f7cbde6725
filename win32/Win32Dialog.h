// The main window's dialog procedure and the application object of the Windows program.
#pragma once

#include <windows.h>

#include "win32/PellorinDlg.h"

namespace pellorin::win32 {

// Runs dialog 102 modally with the engine `makeEngine` makes; returns when the window has closed
// (Exit, Esc or the close box), with the dialog's result.
INT_PTR RunMainWindow(HINSTANCE instance, const EngineFactory& makeEngine);

// The application object: start-up runs the main window modally, and the program ends with it.
class CPellorinApp {
  public:
    CPellorinApp(HINSTANCE instance, EngineFactory makeEngine)
        : m_instance(instance), m_makeEngine(std::move(makeEngine)) {}
    // Returns false: no message loop of its own follows the window.
    bool InitInstance();

  private:
    HINSTANCE m_instance;
    EngineFactory m_makeEngine;
};

}  // namespace pellorin::win32
