// The command buttons of the operator's window without a toolkit: the routing of the window's
// commands, what each job button ("Update DSP", "Update MCU", "Read Version", "Rest EEPROM")
// sets before its job starts, the question of "Rest EEPROM", the message when no port is chosen
// (with the reasons of the ports that did not open), and one job at a time. Both windows route
// their commands here, except "Exit", which closes the window; they answer through
// JobButtons::Window, and the engine through JobControl. The window state record (job kind, speed
// negotiation, port name) lives here.
//
// Threads: every call is made on the window thread.
#pragma once

#include <string>

#include "link/JobControl.h"
#include "link/LinkSpeeds.h"
#include "link/PortChoice.h"

namespace pellorin {

// Commands that no control carries but the window routes all the same.
inline constexpr int kCommandClosePort = 1012;
inline constexpr int kCommandCountImageBlocks = 1002;

class JobButtons {
  public:
    // What the buttons need of the window.
    class Window {
      public:
        virtual ~Window() = default;
        // A message box owned by the window, no icon; `yesNo` gives Yes and No, else OK. True
        // for Yes (or OK).
        virtual bool ShowMessageBox(const std::string& text, const std::string& caption,
                                    bool yesNo) = 0;
        virtual void SelectBaudItem(int index) = 0;
        // The port field's selected entry (PortChoice); -1 when none is, also after typing.
        [[nodiscard]] virtual int SelectedPortEntry() const = 0;
        // What was typed into the port field when no entry is selected: a remote port
        // ("rfc2217://HOST:PORT", "tcp://HOST:PORT") is opened as typed. "" when none.
        [[nodiscard]] virtual std::string TypedPortText() const { return {}; }
        [[nodiscard]] virtual bool JobButtonsEnabled() const = 0;
        virtual void SetJobButtonsEnabled(bool enable) = 0;
    };

    // The window, the engine and the port list must outlive the buttons.
    JobButtons(Window& window, JobControl& engine, const PortChoice& ports)
        : m_window(window), m_engine(engine), m_ports(ports) {}

    // A command by id: 1 "Update DSP", 3 "Update MCU", 1035 "Read Version", 1036 "Rest EEPROM",
    // 1012 ClosePort, 1002 CountImageBlocks; others (2 "Exit" among them) are ignored.
    void OnCommand(int id);
    // The window is closing: no command is carried out any more.
    void Close() { m_closed = true; }
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
    JobControl& m_engine;
    const PortChoice& m_ports;
    bool m_closed = false;
    int m_jobMode = -1;
    bool m_negotiateBaud = false;
    std::string m_portName;
};

}  // namespace pellorin
