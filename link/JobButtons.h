// The command buttons of the operator's window without a toolkit: the routing of the window's
// commands, what each job button ("Update DSP", "Update MCU", "Read Version", "Rest EEPROM")
// sets before its job starts, the question of "Rest EEPROM", the message when no port is chosen
// (with the reasons of the ports that did not open), and one job at a time. Both windows route
// their commands here and answer through JobButtons::Window; the window state record (job kind,
// speed negotiation, port name) lives here.
//
// Threads: every call is made on the window thread.
#pragma once

#include <string>

#include "link/PortChoice.h"

namespace pellorin {

// Commands that no control carries but the window routes all the same.
inline constexpr int kCommandClosePort = 1012;
inline constexpr int kCommandCountImageBlocks = 1002;
// The speed field's item that "Update MCU" selects, "19200".
inline constexpr int kBaudItem19200 = 2;

class JobButtons {
  public:
    // What the buttons need of the window and of the engine behind it.
    class Window {
      public:
        virtual ~Window() = default;
        // True once the window is closing: no job starts any more.
        [[nodiscard]] virtual bool Closing() const = 0;
        // A message box owned by the window, no icon, Yes and No; true only for Yes.
        virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
        // A message box owned by the window, no icon, OK, captioned with the program's name.
        virtual void Inform(const std::string& text) = 0;
        virtual void SelectBaudItem(int index) = 0;
        // The port field's selected entry (PortChoice); -1 when none is, also after typing.
        [[nodiscard]] virtual int SelectedPortEntry() const = 0;
        [[nodiscard]] virtual bool JobButtonsEnabled() const = 0;
        virtual void SetJobButtonsEnabled(bool enable) = 0;
        // "Exit": stops the engine and ends the window.
        virtual void OnCancel() = 0;

        // The engine.
        [[nodiscard]] virtual bool JobRunning() const = 0;
        // Waits up to timeoutMs (program ms) for a running job to end; true when none runs.
        virtual bool WaitForJob(unsigned timeoutMs) = 0;
        // False (nothing started) while a job runs or after the engine has shut down.
        virtual bool StartJob(int jobMode, bool negotiateBaud, const std::string& portName,
                              const std::string& portIdentity) = 0;
        virtual void ClosePort() = 0;
        virtual void CountImageBlocks() = 0;
    };

    // The window and the port list must outlive the buttons.
    JobButtons(Window& window, const PortChoice& ports) : m_window(window), m_ports(ports) {}

    // A command by id: 1 "Update DSP", 2 "Exit", 3 "Update MCU", 1035 "Read Version",
    // 1036 "Rest EEPROM", 1012 ClosePort, 1002 CountImageBlocks; others are ignored.
    void OnCommand(int id);
    void OnOK();
    void OnUpdateMcu();
    void OnReadVersion();
    void OnResetEeprom();

    // The window's state record.
    [[nodiscard]] int JobMode() const { return m_jobMode; }
    void SetJobMode(int jobMode) { m_jobMode = jobMode; }
    [[nodiscard]] bool NegotiateBaud() const { return m_negotiateBaud; }
    [[nodiscard]] const std::string& PortName() const { return m_portName; }

  private:
    // The steps shared by the job buttons once the button's own settings are made.
    void StartJobFromButton(int jobMode, bool negotiateBaud);

    Window& m_window;
    const PortChoice& m_ports;
    int m_jobMode = -1;
    bool m_negotiateBaud = false;
    std::string m_portName;
};

}  // namespace pellorin
