// What the window's logic (CPellorinDlg) needs from the system that shows it: the controls of
// dialog template 102 by id, the window's timers, its message boxes, the About box, the end sound,
// the probe of a port number, and a non-blocking wake-up of the window thread.
//
// Toolkit-free and free of <windows.h>: on Windows the dialog procedure implements it over the
// dialog's HWND (Win32Dialog.cpp); the tests implement it with recorded controls and a message
// loop of their own. Every call except WakeWindowThread and PostSerialMessage is made on the
// window thread. Texts are UTF-8.
#pragma once

#include <cstdint>
#include <string>

namespace pellorin::win32 {

class DialogHost {
  public:
    virtual ~DialogHost() = default;

    // Edit and static controls.
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual void EnableControl(int id, bool enable) = 0;
    [[nodiscard]] virtual bool ControlEnabled(int id) const = 0;

    // The list box: inserts at an index (never sorted, whatever the control's style).
    virtual void InsertListLine(int id, int index, const std::string& text) = 0;

    // Combo boxes. AddComboItem adds as the control's style says (sorted for both combos);
    // InsertComboItem inserts at an index without sorting. ComboSelection is -1 when no item is
    // selected (nothing chosen, or text typed into the edit field that matches no item).
    virtual void AddComboItem(int id, const std::string& text) = 0;
    virtual void InsertComboItem(int id, int index, const std::string& text) = 0;
    [[nodiscard]] virtual int ComboCount(int id) const = 0;
    [[nodiscard]] virtual int ComboSelection(int id) const = 0;
    virtual void SelectComboItem(int id, int index) = 0;
    [[nodiscard]] virtual std::string ComboItemText(int id, int index) const = 0;

    // The progress bar (32-bit range).
    virtual void SetProgressRange(int id, int lower, int upper) = 0;
    virtual void SetProgressPos(int id, int position) = 0;

    // The window's timers; a tick reaches CPellorinDlg::OnTimer on the window thread. Starting a
    // running timer restarts it with the new period.
    virtual void SetTimer(int timerId, unsigned periodMs) = 0;
    virtual void KillTimer(int timerId) = 0;

    // The system menu's About entry (command 0x0010) with the text of string 101.
    virtual void AppendAboutEntry() = 0;
    // The About box (template 100), modal; returns when it is closed.
    virtual void ShowAboutBox() = 0;
    // A message box owned by the window, no icon. `yesNo` gives Yes and No buttons, else OK.
    // Returns true for Yes (or OK).
    virtual bool ShowMessageBox(const std::string& text, const std::string& caption,
                                bool yesNo) = 0;
    // Starts the end-of-update sound and returns at once; nothing when it cannot be played.
    virtual void PlayEndSound() = 0;
    // Ends the modal run of the dialog with the given result (2: Cancel).
    virtual void EndDialog(int result) = 0;

    // True when serial port `number` (0 to 29) exists and opens now.
    [[nodiscard]] virtual bool PortPresent(int number) = 0;

    // Any thread, never blocks: asks the window thread to call CPellorinDlg::RunPendingCalls.
    virtual void WakeWindowThread() = 0;
    // Any thread, never blocks: posts the serial layer's notification ("CSerialWnd_DefaultComMsg")
    // to the window, which hands it to CPellorinDlg::OnSerialMessage. False when it was dropped.
    virtual bool PostSerialMessage(std::uintptr_t wParam, std::intptr_t lParam) noexcept = 0;
};

}  // namespace pellorin::win32
