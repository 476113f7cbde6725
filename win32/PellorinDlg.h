// The operator's window on Windows (dialog template 102) without the window system: its
// initialisation, the port list, the command buttons (JobButtons), the system menu's entries, the
// timer ticks, the serial notification and the Console calls. The dialog procedure
// (Win32Dialog.cpp) routes the dialog's messages here and carries out what this asks of the
// controls through DialogHost; tests do the same with recorded controls.
//
// Threads: every handler runs on the window thread. The job's worker reaches the window only
// through the Console calls, each carried out on the window thread while the worker waits
// (WindowCalls, woken by DialogHost::WakeWindowThread); the port's listener reaches it only by
// posting the serial notification. Closing (Exit, Esc, the close box, or the window's
// destruction) first refuses every further worker call and wakes a waiting one, then stops the
// engine (worker ended, port closed), and only then ends the dialog.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "console/Console.h"
#include "console/FlashCounters.h"
#include "console/ProgressDisplay.h"
#include "console/WindowCalls.h"
#include "link/JobButtons.h"
#include "link/PortChoice.h"
#include "win32/DialogHost.h"
#include "win32/WindowEngine.h"

namespace pellorin::win32 {

// The program file's name, the caption of the window's own message boxes.
inline constexpr const char* kApplicationName = "Pellorin";
// The system menu's entries: About, and the operator's conveniences before it (the About entry
// stays the menu's last).
inline constexpr unsigned kAboutCommand = 0x0010;
inline constexpr unsigned kImageFolderCommand = 0x0020;
inline constexpr unsigned kCopyLogCommand = 0x0030;
inline constexpr unsigned kSaveLogCommand = 0x0040;
inline constexpr unsigned kOpenRecordsCommand = 0x0050;
// How the window's texts name the way to its folder chooser.
inline constexpr const char* kHowToChooseFolder =
    "in the window's menu (its icon, top left) or the log's (right-click the log)";
// The user's setting that keeps the image folder.
inline constexpr const char* kImageFolderSetting = "ImageFolder";
// The timer that lets the changes of one replug settle before the port list is made again.
inline constexpr int kPortSettleTimer = 4;
inline constexpr unsigned kPortSettleMs = 300;

// Makes the engine once the window's console exists.
using EngineFactory =
    std::function<std::unique_ptr<WindowEngine>(Console&, FlashCounters&, PostSerialMessageFn)>;

class CPellorinDlg : public Console, private JobButtons::Window {
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
    // 2 "Exit", Esc, the close box; the other commands are JobButtons'.
    void OnCancel();
    // WM_SYSCOMMAND: true when it was one of the window's own entries (About, the image folder,
    // the log, the records), which has been carried out.
    bool OnSysCommand(unsigned command);
    // WM_CONTEXTMENU on the log list, at the screen position x, y (-1, -1 from the keyboard):
    // the log's menu, with the system menu's entries but About.
    void OnLogContextMenu(int x, int y);
    // The port field's list is about to open (CBN_DROPDOWN), or the system says devices came or
    // went (WM_DEVICECHANGE): the port list is made again, keeping the chosen adapter selected.
    void OnPortListOpening();
    void OnDevicesChanged();
    // The port field's selection changed (CBN_SELCHANGE).
    void OnPortSelected();

    // The system menu's entries beside About.
    void OnImageFolder();
    void OnCopyLog();
    void OnSaveLog();
    void OnOpenRecordsFolder();
    // The log oldest line first, each after the local time it was logged at
    // ("2026-12-07 14:03:05.123  line"); the list itself shows the lines without times.
    [[nodiscard]] std::vector<std::string> LogWithTimes() const;
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

    [[nodiscard]] int JobMode() const { return m_buttons->JobMode(); }
    [[nodiscard]] bool NegotiateBaud() const { return m_buttons->NegotiateBaud(); }
    [[nodiscard]] const std::string& PortName() const { return m_buttons->PortName(); }
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
    void ImageNotFound(const std::string& fileName,
                       const std::vector<std::string>& folders) override;
    [[nodiscard]] bool StopRequested() const override { return m_calls.Closing(); }

  private:
    void FillPortList();
    // Lists the ports again, keeping the selected adapter (or the typed text); waits while a job
    // has the port.
    void RefreshPortList();
    void ShowPortDescription();
    // The image folder as the system menu's entry shows it, and every folder the images are
    // looked for in beside the log.
    void ShowImageFolder();

    // A message box captioned with the program's name, OK.
    void Inform(const std::string& text);

    // JobButtons::Window.
    bool ShowMessageBox(const std::string& text, const std::string& caption, bool yesNo) override;
    void SelectBaudItem(int index) override;
    [[nodiscard]] int SelectedPortEntry() const override;
    [[nodiscard]] std::string TypedPortText() const override;
    [[nodiscard]] bool JobButtonsEnabled() const override;
    void SetJobButtonsEnabled(bool enable) override;

    DialogHost& m_host;
    WindowCalls m_calls;
    FlashCounters m_counters;
    ProgressDisplay m_display{m_counters};
    // Serial notifications are posted only while this is set: cleared when the window closes.
    std::atomic<bool> m_acceptsPosts{true};

    // The port list's entries (index for index).
    PortChoice m_ports;
    bool m_portsChanged = false;
    bool m_shutDown = false;
    // Every line of the log list with the local time it was logged at, oldest first.
    std::vector<std::pair<std::chrono::system_clock::time_point, std::string>> m_logLines;
    bool m_timerRunning[2] = {false, false};

    // Last, so that it is made on a complete window; destroyed first. The buttons, with the
    // window's state record, go with the engine they start jobs on.
    std::unique_ptr<WindowEngine> m_engine;
    std::unique_ptr<JobButtons> m_buttons;
};

}  // namespace pellorin::win32
