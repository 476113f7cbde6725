// The Win32 side of the window's controls and services.
#include "win32/Win32Host.h"

#include <commctrl.h>
#include <commdlg.h>
#include <mmsystem.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "SerialLib/Serial/PortCatalog.h"

namespace pellorin::win32 {
namespace {

constexpr int kAboutBoxTemplate = 100;
constexpr int kAboutEntryString = 101;
constexpr int kIconResource = 128;
constexpr UINT kAboutCommand = 0x0010;
constexpr wchar_t kSettingsKey[] = L"Software\\Pellorin";
constexpr int kToolTipWidth = 600;  // pixels; longer lines wrap

INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                ::EndDialog(dialog, LOWORD(wParam));
                return TRUE;
            }
            break;
        default:
            break;
    }
    return FALSE;
}

HICON LoadIconSized(HINSTANCE instance, int metricX, int metricY) {
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                         GetSystemMetrics(metricX), GetSystemMetrics(metricY),
                                         LR_DEFAULTCOLOR));
}

}  // namespace

std::wstring Widen(const std::string& text, UINT codePage) {
    if (text.empty()) return {};
    const int length =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                        length, nullptr, nullptr);
    return narrow;
}

Win32Host::Win32Host(HINSTANCE instance)
    : m_instance(instance),
      m_serialMessage(RegisterWindowMessageW(L"CSerialWnd_DefaultComMsg")),
      m_largeIcon(LoadIconSized(instance, SM_CXICON, SM_CYICON)),
      m_smallIcon(LoadIconSized(instance, SM_CXSMICON, SM_CYSMICON)) {}

void Win32Host::SetControlText(int id, const std::string& text) {
    const HWND item = Item(id);
    const std::wstring wide = Widen(text);
    // Unchanged texts are not set again: a read-only field would flicker once a second.
    std::wstring current(static_cast<std::size_t>(GetWindowTextLengthW(item)) + 1, L'\0');
    current.resize(static_cast<std::size_t>(
        GetWindowTextW(item, current.data(), static_cast<int>(current.size()))));
    if (current != wide) SetWindowTextW(item, wide.c_str());
}

std::string Win32Host::ControlText(int id) const {
    const HWND item = Item(id);
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(item)) + 1, L'\0');
    text.resize(
        static_cast<std::size_t>(GetWindowTextW(item, text.data(), static_cast<int>(text.size()))));
    return Narrow(text);
}

void Win32Host::EnableControl(int id, bool enable) {
    EnableWindow(Item(id), enable ? TRUE : FALSE);
}

bool Win32Host::ControlEnabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }

void Win32Host::InsertListLine(int id, int index, const std::string& text) {
    // LB_INSERTSTRING never sorts, whatever the list's style: the newest line stays on top.
    const std::wstring wide = Widen(text);
    SendMessageW(Item(id), LB_INSERTSTRING, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(wide.c_str()));
}

void Win32Host::AddComboItem(int id, const std::string& text) {
    const std::wstring wide = Widen(text);
    SendMessageW(Item(id), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

void Win32Host::InsertComboItem(int id, int index, const std::string& text) {
    const std::wstring wide = Widen(text);
    SendMessageW(Item(id), CB_INSERTSTRING, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(wide.c_str()));
}

void Win32Host::ResetCombo(int id) { SendMessageW(Item(id), CB_RESETCONTENT, 0, 0); }

int Win32Host::ComboCount(int id) const {
    return static_cast<int>(SendMessageW(Item(id), CB_GETCOUNT, 0, 0));
}

int Win32Host::ComboSelection(int id) const {
    // CB_ERR (-1) when nothing is selected, also after typing a text that matches no item.
    return static_cast<int>(SendMessageW(Item(id), CB_GETCURSEL, 0, 0));
}

void Win32Host::SelectComboItem(int id, int index) {
    SendMessageW(Item(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

std::string Win32Host::ComboItemText(int id, int index) const {
    const HWND combo = Item(id);
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied = SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                        reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied == CB_ERR ? 0 : static_cast<std::size_t>(copied));
    return Narrow(text);
}

void Win32Host::SetProgressRange(int id, int lower, int upper) {
    SendMessageW(Item(id), PBM_SETRANGE32, static_cast<WPARAM>(lower), static_cast<LPARAM>(upper));
}

void Win32Host::SetProgressPos(int id, int position) {
    const HWND bar = Item(id);
    if (static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)) != position)
        SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32Host::SetTimer(int timerId, unsigned periodMs) {
    ::SetTimer(m_dialog.load(), static_cast<UINT_PTR>(timerId), periodMs, nullptr);
}

void Win32Host::KillTimer(int timerId) {
    ::KillTimer(m_dialog.load(), static_cast<UINT_PTR>(timerId));
}

void Win32Host::SetToolTip(int id, const std::string& text) {
    const HWND dialog = m_dialog.load();
    const HWND control = Item(id);
    if (control == nullptr) return;
    std::wstring wide = Widen(text);
    // A combo box with an edit field shows the mouse over its edit field: both get the tip.
    HWND parts[2] = {control, nullptr};
    COMBOBOXINFO combo{};
    combo.cbSize = sizeof combo;
    if (GetComboBoxInfo(control, &combo) && combo.hwndItem != control) parts[1] = combo.hwndItem;
    if (m_toolTip == nullptr) {
        m_toolTip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                    dialog, nullptr, m_instance, nullptr);
        if (m_toolTip == nullptr) return;
        // Several lines ("\n") are shown as such.
        SendMessageW(m_toolTip, TTM_SETMAXTIPWIDTH, 0, kToolTipWidth);
    }
    for (HWND part : parts) {
        if (part == nullptr) continue;
        TOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = dialog;
        tool.uId = reinterpret_cast<UINT_PTR>(part);
        tool.lpszText = wide.data();
        const bool known =
            std::find(m_toolParts.begin(), m_toolParts.end(), part) != m_toolParts.end();
        if (!known) m_toolParts.push_back(part);
        SendMessageW(m_toolTip, known ? TTM_UPDATETIPTEXTW : TTM_ADDTOOLW, 0,
                     reinterpret_cast<LPARAM>(&tool));
    }
}

void Win32Host::AppendSystemMenuEntry(unsigned command, const std::string& text) {
    const HMENU menu = GetSystemMenu(m_dialog.load(), FALSE);
    if (menu == nullptr) return;
    if (text.empty()) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        return;
    }
    AppendMenuW(menu, MF_STRING, command, Widen(text).c_str());
}

void Win32Host::SetSystemMenuEntryText(unsigned command, const std::string& text) {
    const HMENU menu = GetSystemMenu(m_dialog.load(), FALSE);
    if (menu == nullptr) return;
    ModifyMenuW(menu, command, MF_BYCOMMAND | MF_STRING, command, Widen(text).c_str());
}

void Win32Host::AppendAboutEntry() {
    const HMENU menu = GetSystemMenu(m_dialog.load(), FALSE);
    if (menu == nullptr) return;
    wchar_t text[128] = {};
    if (LoadStringW(m_instance, kAboutEntryString, text, static_cast<int>(std::size(text))) <= 0)
        return;
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kAboutCommand, text);
}

unsigned Win32Host::ShowPopupMenu(int id, int x, int y,
                                  const std::vector<std::pair<unsigned, std::string>>& entries) {
    const HMENU menu = CreatePopupMenu();
    if (menu == nullptr) return 0;
    for (const auto& [command, text] : entries) {
        if (text.empty()) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        } else {
            AppendMenuW(menu, MF_STRING, command, Widen(text).c_str());
        }
    }
    if (x == -1 && y == -1) {
        // From the keyboard: below the control's top left corner.
        RECT rect{};
        GetWindowRect(Item(id), &rect);
        x = rect.left;
        y = rect.top;
    }
    const BOOL chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, x, y,
                                       0, m_dialog.load(), nullptr);
    DestroyMenu(menu);
    return static_cast<unsigned>(chosen);
}

void Win32Host::ShowAboutBox() {
    DialogBoxParamW(m_instance, MAKEINTRESOURCEW(kAboutBoxTemplate), m_dialog.load(), AboutBoxProc,
                    0);
}

bool Win32Host::ShowMessageBox(const std::string& text, const std::string& caption, bool yesNo) {
    const int answer = MessageBoxW(m_dialog.load(), Widen(text).c_str(), Widen(caption).c_str(),
                                   yesNo ? MB_YESNO : MB_OK);
    return answer == (yesNo ? IDYES : IDOK);
}

void Win32Host::PlayEndSound() {
    // The Windows media file where the system has it, else the system's own information sound;
    // asynchronous, and no default sound when neither can be played.
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        const std::wstring file = std::wstring(folder) + L"\\Media\\tada.wav";
        if (GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES &&
            PlaySoundW(file.c_str(), nullptr, SND_FILENAME | SND_ASYNC | SND_NODEFAULT)) {
            return;
        }
    }
    PlaySoundW(L"SystemAsterisk", nullptr, SND_ALIAS | SND_ASYNC | SND_NODEFAULT);
}

void Win32Host::EndDialog(int result) { ::EndDialog(m_dialog.load(), result); }

std::vector<serial::PortInfo> Win32Host::ListPorts() { return serial::ListPorts(); }

std::string Win32Host::ChooseFolder(const std::string& start) {
    // The system's folder chooser (the file dialog in its folder mode), modal to the window.
    const HRESULT initialised = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::string chosen;
    IFileOpenDialog* dialog = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IFileOpenDialog, reinterpret_cast<void**>(&dialog)))) {
        FILEOPENDIALOGOPTIONS options = 0;
        dialog->GetOptions(&options);
        dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
        dialog->SetTitle(L"Image folder");
        IShellItem* folder = nullptr;
        if (!start.empty() &&
            SUCCEEDED(SHCreateItemFromParsingName(Widen(start).c_str(), nullptr, IID_IShellItem,
                                                  reinterpret_cast<void**>(&folder)))) {
            dialog->SetFolder(folder);
            folder->Release();
        }
        IShellItem* result = nullptr;
        if (SUCCEEDED(dialog->Show(m_dialog.load())) && SUCCEEDED(dialog->GetResult(&result))) {
            PWSTR path = nullptr;
            if (SUCCEEDED(result->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
                chosen = Narrow(path);
                CoTaskMemFree(path);
            }
            result->Release();
        }
        dialog->Release();
    }
    if (SUCCEEDED(initialised)) CoUninitialize();
    return chosen;
}

std::string Win32Host::ChooseSaveFile(const std::string& suggested) {
    std::wstring path = Widen(suggested);
    path.resize(32768, L'\0');
    OPENFILENAMEW file{};
    file.lStructSize = sizeof file;
    file.hwndOwner = m_dialog.load();
    file.lpstrFilter = L"Text files (*.txt)\0*.txt\0All files\0*.*\0";
    file.lpstrFile = path.data();
    file.nMaxFile = static_cast<DWORD>(path.size());
    file.lpstrTitle = L"Save log";
    file.lpstrDefExt = L"txt";
    file.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (!GetSaveFileNameW(&file)) return {};
    path.resize(wcslen(path.c_str()));
    return Narrow(path);
}

bool Win32Host::WriteTextFile(const std::string& path, const std::string& text) {
    // Written beside the file and moved over it, so a failed write leaves the old file whole.
    const std::wstring target = Widen(path);
    const std::wstring written = target + L".new";
    const HANDLE file = CreateFileW(written.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD count = 0;
    const bool ok = text.empty() || (WriteFile(file, text.data(), static_cast<DWORD>(text.size()),
                                               &count, nullptr) &&
                                     count == text.size());
    const bool closed = CloseHandle(file) != FALSE;
    if (ok && closed &&
        MoveFileExW(written.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE) {
        return true;
    }
    DeleteFileW(written.c_str());
    return false;
}

bool Win32Host::CopyToClipboard(const std::string& text) {
    const std::wstring wide = Widen(text);
    const std::size_t bytes = (wide.size() + 1) * sizeof(wchar_t);
    const HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (memory == nullptr) return false;
    void* data = GlobalLock(memory);
    if (data == nullptr) {
        GlobalFree(memory);
        return false;
    }
    std::memcpy(data, wide.c_str(), bytes);
    GlobalUnlock(memory);
    if (!OpenClipboard(m_dialog.load())) {
        GlobalFree(memory);
        return false;
    }
    EmptyClipboard();
    // Once set, the clipboard owns the memory.
    const bool set = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
    CloseClipboard();
    if (!set) GlobalFree(memory);
    return set;
}

bool Win32Host::OpenFolder(const std::string& folder) {
    const std::wstring wide = Widen(folder);
    // The folder exists once a job has run; the file manager cannot show one that does not.
    SHCreateDirectoryExW(nullptr, wide.c_str(), nullptr);
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(m_dialog.load(), L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return result > 32;
}

std::string Win32Host::ReadUserSetting(const std::string& name) {
    const std::wstring value = Widen(name);
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, value.c_str(), RRF_RT_REG_SZ, nullptr,
                     nullptr, &bytes) != ERROR_SUCCESS ||
        bytes < sizeof(wchar_t)) {
        return {};
    }
    std::wstring text(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, value.c_str(), RRF_RT_REG_SZ, nullptr,
                     text.data(), &bytes) != ERROR_SUCCESS) {
        return {};
    }
    text.resize(wcslen(text.c_str()));
    return Narrow(text);
}

bool Win32Host::WriteUserSetting(const std::string& name, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::wstring data = Widen(value);
    const LONG status = RegSetValueExW(key, Widen(name).c_str(), 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(data.c_str()),
                                       static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

std::string Win32Host::UserSettingsPlace() const { return "HKEY_CURRENT_USER\\Software\\Pellorin"; }

std::string Win32Host::ToEnginePath(const std::string& path) const {
    // The engine names files through the C runtime, in the system's code page.
    if (GetACP() == CP_UTF8) return path;
    const std::wstring wide = Widen(path);
    if (wide.empty()) return {};
    BOOL lost = FALSE;
    const int length =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                            static_cast<int>(wide.size()), nullptr, 0, nullptr, &lost);
    if (length <= 0 || lost) return {};
    std::string native(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                        native.data(), length, nullptr, &lost);
    return lost ? std::string() : native;
}

std::string Win32Host::FromEnginePath(const std::string& path) const {
    if (path.empty() || GetACP() == CP_UTF8) return path;
    return Narrow(Widen(path, CP_ACP));
}

void Win32Host::WakeWindowThread() { PostMessageW(m_dialog.load(), kWakeMessage, 0, 0); }

bool Win32Host::PostSerialMessage(std::uintptr_t wParam, std::intptr_t lParam) noexcept {
    const HWND dialog = m_dialog.load();
    return dialog != nullptr && PostMessageW(dialog, m_serialMessage, static_cast<WPARAM>(wParam),
                                             static_cast<LPARAM>(lParam)) != FALSE;
}

}  // namespace pellorin::win32
