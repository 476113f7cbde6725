// DialogHost over a Win32 dialog's HWND: the controls of template 102 through their messages,
// the window's timers, message boxes, the About box, the end sound, the port catalogue, the
// system's choosers, clipboard, file manager and registry (the user's settings under
// HKEY_CURRENT_USER\Software\Pellorin), and the two posted messages (the wake-up of the worker's
// calls and the serial notification).
#pragma once

#include <windows.h>

#include <atomic>
#include <vector>

#include "win32/DialogHost.h"

namespace pellorin::win32 {

// The private message that makes the window thread carry out the worker's queued calls.
inline constexpr UINT kWakeMessage = WM_APP + 1;

// UTF-8 (or text in `codePage`) to UTF-16, and UTF-16 to UTF-8, for the window's texts.
[[nodiscard]] std::wstring Widen(const std::string& text, UINT codePage = CP_UTF8);
[[nodiscard]] std::string Narrow(const std::wstring& text);

class Win32Host : public DialogHost {
  public:
    explicit Win32Host(HINSTANCE instance);

    // WM_INITDIALOG: the dialog the calls go to from now on.
    void Attach(HWND dialog) { m_dialog.store(dialog); }
    [[nodiscard]] HWND Dialog() const { return m_dialog.load(); }
    // The id of the registered message "CSerialWnd_DefaultComMsg".
    [[nodiscard]] UINT SerialMessage() const { return m_serialMessage; }
    [[nodiscard]] HICON Icon(bool large) const { return large ? m_largeIcon : m_smallIcon; }

    void SetControlText(int id, const std::string& text) override;
    [[nodiscard]] std::string ControlText(int id) const override;
    void EnableControl(int id, bool enable) override;
    [[nodiscard]] bool ControlEnabled(int id) const override;
    void InsertListLine(int id, int index, const std::string& text) override;
    void AddComboItem(int id, const std::string& text) override;
    void InsertComboItem(int id, int index, const std::string& text) override;
    void ResetCombo(int id) override;
    [[nodiscard]] int ComboCount(int id) const override;
    [[nodiscard]] int ComboSelection(int id) const override;
    void SelectComboItem(int id, int index) override;
    [[nodiscard]] std::string ComboItemText(int id, int index) const override;
    void SetProgressRange(int id, int lower, int upper) override;
    void SetProgressPos(int id, int position) override;
    void SetTimer(int timerId, unsigned periodMs) override;
    void KillTimer(int timerId) override;
    void SetToolTip(int id, const std::string& text) override;
    void AppendAboutEntry() override;
    void AppendSystemMenuEntry(unsigned command, const std::string& text) override;
    void SetSystemMenuEntryText(unsigned command, const std::string& text) override;
    [[nodiscard]] unsigned ShowPopupMenu(
        int id, int x, int y,
        const std::vector<std::pair<unsigned, std::string>>& entries) override;
    void ShowAboutBox() override;
    bool ShowMessageBox(const std::string& text, const std::string& caption, bool yesNo) override;
    void PlayEndSound() override;
    void EndDialog(int result) override;
    [[nodiscard]] std::vector<serial::PortInfo> ListPorts() override;
    [[nodiscard]] std::string ChooseFolder(const std::string& start) override;
    [[nodiscard]] std::string ChooseSaveFile(const std::string& suggested) override;
    bool WriteTextFile(const std::string& path, const std::string& text) override;
    bool CopyToClipboard(const std::string& text) override;
    bool OpenFolder(const std::string& folder) override;
    [[nodiscard]] std::string ReadUserSetting(const std::string& name) override;
    bool WriteUserSetting(const std::string& name, const std::string& value) override;
    [[nodiscard]] std::string UserSettingsPlace() const override;
    [[nodiscard]] std::string ToEnginePath(const std::string& path) const override;
    [[nodiscard]] std::string FromEnginePath(const std::string& path) const override;
    void WakeWindowThread() override;
    bool PostSerialMessage(std::uintptr_t wParam, std::intptr_t lParam) noexcept override;

  private:
    [[nodiscard]] HWND Item(int id) const { return GetDlgItem(m_dialog.load(), id); }

    const HINSTANCE m_instance;
    const UINT m_serialMessage;
    std::atomic<HWND> m_dialog{nullptr};
    HICON m_largeIcon;
    HICON m_smallIcon;
    HWND m_toolTip = nullptr;       // made with the first tooltip
    std::vector<HWND> m_toolParts;  // the windows it has a tip for
};

}  // namespace pellorin::win32
