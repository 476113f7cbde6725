// What the window's logic (CPellorinDlg) needs from the system that shows it: the controls of
// dialog template 102 by id, the window's timers, its message boxes, the About box, the end sound,
// the port list, the operator's conveniences (folder and file choosers, the clipboard, the file
// manager, the user's settings), and a non-blocking wake-up of the window thread.
//
// Toolkit-free and free of <windows.h>: on Windows the dialog procedure implements it over the
// dialog's HWND (Win32Dialog.cpp); the tests implement it with recorded controls and a message
// loop of their own. Every call except WakeWindowThread and PostSerialMessage is made on the
// window thread. Texts are UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SerialLib/Serial/PortCatalog.h"

namespace pellorin::win32 {

class DialogHost {
  public:
    virtual ~DialogHost() = default;

    // Edit and static controls.
    // For a combo box, the text of its edit field.
    virtual void SetControlText(int id, const std::string& text) = 0;
    [[nodiscard]] virtual std::string ControlText(int id) const = 0;
    virtual void EnableControl(int id, bool enable) = 0;
    [[nodiscard]] virtual bool ControlEnabled(int id) const = 0;

    // The list box: inserts at an index (never sorted, whatever the control's style).
    virtual void InsertListLine(int id, int index, const std::string& text) = 0;

    // Combo boxes. AddComboItem adds as the control's style says (sorted for both combos);
    // InsertComboItem inserts at an index without sorting. ComboSelection is -1 when no item is
    // selected (nothing chosen, or text typed into the edit field that matches no item).
    virtual void AddComboItem(int id, const std::string& text) = 0;
    virtual void InsertComboItem(int id, int index, const std::string& text) = 0;
    // Removes every item and empties the edit field.
    virtual void ResetCombo(int id) = 0;
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

    // A control's tooltip ("" for none); several lines are shown as such.
    virtual void SetToolTip(int id, const std::string& text) = 0;

    // The system menu's About entry (command 0x0010) with the text of string 101, after a
    // separator.
    virtual void AppendAboutEntry() = 0;
    // A system menu entry with its command (low four bits clear); "" text is a separator.
    virtual void AppendSystemMenuEntry(unsigned command, const std::string& text) = 0;
    virtual void SetSystemMenuEntryText(unsigned command, const std::string& text) = 0;
    // A menu of `entries` (command, text; "" text is a separator) at the screen position x, y
    // (-1, -1: below the control `id`, as for the menu key); returns the command chosen, 0 for
    // none.
    [[nodiscard]] virtual unsigned ShowPopupMenu(
        int id, int x, int y, const std::vector<std::pair<unsigned, std::string>>& entries) = 0;
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

    // The serial ports as they are now, each with its state (PortCatalog.h).
    [[nodiscard]] virtual std::vector<serial::PortInfo> ListPorts() = 0;

    // The platform's folder chooser, starting at `start`; "" when the operator cancels.
    [[nodiscard]] virtual std::string ChooseFolder(const std::string& start) = 0;
    // The platform's "save as" chooser proposing `suggested`; "" when the operator cancels.
    [[nodiscard]] virtual std::string ChooseSaveFile(const std::string& suggested) = 0;
    // Writes `text` as the whole file; false when it could not be written.
    virtual bool WriteTextFile(const std::string& path, const std::string& text) = 0;
    // Puts `text` on the clipboard; false when it could not.
    virtual bool CopyToClipboard(const std::string& text) = 0;
    // Makes the folder where missing and shows it in the file manager; false when it cannot.
    virtual bool OpenFolder(const std::string& folder) = 0;
    // The user's settings of the window by name ("" when not set); WriteUserSetting is false when
    // the value could not be kept.
    [[nodiscard]] virtual std::string ReadUserSetting(const std::string& name) = 0;
    virtual bool WriteUserSetting(const std::string& name, const std::string& value) = 0;
    // Where the user's settings are kept, for the operator.
    [[nodiscard]] virtual std::string UserSettingsPlace() const = 0;
    // A path of the window (UTF-8) as the engine's file calls take it, "" when those calls
    // cannot name it (on Windows, a character outside the system's code page), and back.
    [[nodiscard]] virtual std::string ToEnginePath(const std::string& path) const = 0;
    [[nodiscard]] virtual std::string FromEnginePath(const std::string& path) const = 0;

    // Any thread, never blocks: asks the window thread to call CPellorinDlg::RunPendingCalls.
    virtual void WakeWindowThread() = 0;
    // Any thread, never blocks: posts the serial layer's notification ("CSerialWnd_DefaultComMsg")
    // to the window, which hands it to CPellorinDlg::OnSerialMessage. False when it was dropped.
    virtual bool PostSerialMessage(std::uintptr_t wParam, std::intptr_t lParam) noexcept = 0;
};

}  // namespace pellorin::win32
