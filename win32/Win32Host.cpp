// The Win32 side of the window's controls and services.
#include "win32/Win32Host.h"

#include <commctrl.h>
#include <mmsystem.h>

#include <cstdio>
#include <vector>

namespace pellorin::win32 {
namespace {

constexpr int kAboutBoxTemplate = 100;
constexpr int kAboutEntryString = 101;
constexpr int kIconResource = 128;
constexpr UINT kAboutCommand = 0x0010;

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

std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
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

void Win32Host::AppendAboutEntry() {
    const HMENU menu = GetSystemMenu(m_dialog.load(), FALSE);
    if (menu == nullptr) return;
    wchar_t text[128] = {};
    if (LoadStringW(m_instance, kAboutEntryString, text, static_cast<int>(std::size(text))) <= 0)
        return;
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kAboutCommand, text);
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

bool Win32Host::PortPresent(int number) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\com%d", number);
    // No access asked for: only whether the device exists and may be opened now, without
    // touching the line. A serial device is a character device; Wine opens a device object for
    // every COM number it knows, also one whose device is missing, and tells them apart only here.
    const HANDLE port =
        CreateFileA(path, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) return false;
    const bool present = GetFileType(port) == FILE_TYPE_CHAR;
    CloseHandle(port);
    return present;
}

void Win32Host::WakeWindowThread() { PostMessageW(m_dialog.load(), kWakeMessage, 0, 0); }

bool Win32Host::PostSerialMessage(std::uintptr_t wParam, std::intptr_t lParam) noexcept {
    const HWND dialog = m_dialog.load();
    return dialog != nullptr && PostMessageW(dialog, m_serialMessage, static_cast<WPARAM>(wParam),
                                             static_cast<LPARAM>(lParam)) != FALSE;
}

}  // namespace pellorin::win32
