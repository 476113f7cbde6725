// The operator's window on Windows (dialog template 102) without the window system: its
// initialisation, the command buttons, the timer ticks, the serial notification and the Console
// calls. The dialog procedure (Win32Dialog.cpp) routes the dialog's messages here and carries out
// what this asks of the controls through DialogHost; tests do the same with recorded controls.
//
// Threads: every handler runs on the window thread. The job's worker reaches the window only
// through the Console calls, each carried out on the window thread while the worker waits
// (WindowCalls, woken by DialogHost::WakeWindowThread); the port's listener reaches it only by
// posting the serial notification. Closing (Exit, Esc, the close box, or the window's
// destruction) first refuses every further worker call and wakes a waiting one, then stops the
// engine (worker ended, port closed), and only then ends the dialog.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "console/Console.h"
#include "console/FlashCounters.h"
#include "console/ProgressDisplay.h"
#include "console/WindowCalls.h"
#include "win32/DialogHost.h"
#include "win32/WindowEngine.h"

namespace pellorin::win32 {

// The program file's name, the caption of the window's own message boxes.
inline constexpr const char* kApplicationName = "Pellorin";
// The system menu's About entry.
inline constexpr unsigned kAboutCommand = 0x0010;
// Commands that no control carries but the window routes all the same.
inline constexpr int kCommandClosePort = 1012;
inline constexpr int kCommandCountImageBlocks = 1002;
// The template's initial items of the speed field (the first two with a leading blank); added to
// a sorted combo they keep this order.
inline constexpr const char* kBaudItems[] = {" 4800", " 9600", "19200", "38400"};
inline constexpr int kBaudItem19200 = 2;
inline constexpr int kFirstPortNumber = 0;
inline constexpr int kLastPortNumber = 29;

// Makes the engine once the window's console exists.
using EngineFactory =
    std::function<std::unique_ptr<WindowEngine>(Console&, FlashCounters&, PostSerialMessageFn)>;

class CPellorinDlg : public Console {
  public:
    // The host must outlive the window; the engine is made at once by `makeEngine`.
    CPellorinDlg(DialogHost& host, const EngineFactory& makeEngine);
    ~CPellorinDlg() override;
    CPellorinDlg(const CPellorinDlg&) = delete;
    CPellorinDlg& operator=(const CPellorinDlg&) = delete;

    // WM_INITDIALOG, after the controls of the template exist. Returns true: the focus goes to
    // the first tab stop, the port field.
    bool OnInitDialog();
    // WM_COMMAND with a control's or a command's id.
    void OnCommand(int id);
    void OnOK();           // 1 "Update DSP"
    void OnCancel();       // 2 "Exit", Esc, the close box
    void OnUpdateMcu();    // 3
    void OnReadVersion();  // 1035 (hidden)
    void OnResetEeprom();  // 1036 (hidden)
    // WM_SYSCOMMAND: true when it was the About entry (the box has been shown and closed).
    bool OnSysCommand(unsigned command);
    // WM_TIMER.
    void OnTimer(int timerId);
    // The registered message "CSerialWnd_DefaultComMsg".
    void OnSerialMessage(std::uintptr_t wParam, std::intptr_t lParam);
    // The wake-up of WakeWindowThread: carries out the worker's queued calls.
    void RunPendingCalls();
    // WM_DESTROY, or anything else that ends the window: stops the engine, idempotent.
    void ShutDown();

    // Writes every display text into its control (the refresh after each tick).
    void UpdateData();

    [[nodiscard]] int JobMode() const { return m_jobMode; }
    [[nodiscard]] bool NegotiateBaud() const { return m_negotiateBaud; }
    [[nodiscard]] const std::string& PortName() const { return m_portName; }
    [[nodiscard]] bool Closed() const { return m_shutDown; }
    [[nodiscard]] bool TimerActive(int timerId) const {
        return timerId >= 1 && timerId <= 2 && m_timerRunning[timerId - 1];
    }
    FlashCounters& Counters() { return m_counters; }
    WindowEngine& Engine() { return *m_engine; }

    // Console (called by the worker; carried out on the window thread).
    void InsertLogLine(const std::string& line) override;
    void SetProgressRange(int lower, int upper) override;
    void SetProgressPos(int position) override;
    void StartTimer(int timerId, unsigned periodMs) override;
    void StopTimer(int timerId) override;
    void EnableJobButtons(bool enable) override;
    int SelectedBaudIndex() override;
    void ShowMessage(const std::string& text) override;
    [[nodiscard]] bool StopRequested() const override { return m_calls.Closing(); }

  private:
    void FillPortList();
    // The steps shared by the job buttons once the button's own settings are made.
    void StartJobFromButton(int jobMode, bool negotiateBaud);
    void SetJobButtonsEnabled(bool enable);

    DialogHost& m_host;
    WindowCalls m_calls;
    FlashCounters m_counters;
    ProgressDisplay m_display{m_counters};
    // Serial notifications are posted only while this is set: cleared when the window closes.
    std::atomic<bool> m_acceptsPosts{true};

    // The window's state record.
    int m_jobMode = -1;
    bool m_negotiateBaud = false;
    std::string m_portName;
    bool m_shutDown = false;
    bool m_timerRunning[2] = {false, false};

    // Last, so that it is made on a complete window; destroyed first.
    std::unique_ptr<WindowEngine> m_engine;
};

}  // namespace pellorin::win32
