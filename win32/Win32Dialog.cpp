// The main window's message routing: every message of dialog 102 to its handler in CPellorinDlg.
#include "win32/Win32Dialog.h"

#include <commctrl.h>

#include <memory>

#include "win32/Win32Host.h"

namespace pellorin::win32 {
namespace {

constexpr int kMainDialogTemplate = 102;

// What the dialog procedure finds through the window: the host and the window's logic.
struct MainWindow {
    Win32Host host;
    const EngineFactory& makeEngine;
    std::unique_ptr<CPellorinDlg> dialog;
};

// While minimised, the icon on its background, centred in the client area.
void PaintMinimised(HWND window, HICON icon) {
    PAINTSTRUCT paint;
    const HDC dc = BeginPaint(window, &paint);
    SendMessageW(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(window, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, icon);
    EndPaint(window, &paint);
}

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* main = reinterpret_cast<MainWindow*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        main->host.Attach(window);
        SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(main->host.Icon(true)));
        SendMessageW(window, WM_SETICON, ICON_SMALL,
                     reinterpret_cast<LPARAM>(main->host.Icon(false)));
        main->dialog = std::make_unique<CPellorinDlg>(main->host, main->makeEngine);
        return main->dialog->OnInitDialog() ? TRUE : FALSE;
    }
    auto* main = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    if (main == nullptr || !main->dialog) return FALSE;
    CPellorinDlg& dialog = *main->dialog;

    if (message == main->host.SerialMessage()) {
        dialog.OnSerialMessage(wParam, lParam);
        return TRUE;
    }
    switch (message) {
        case kWakeMessage:
            dialog.RunPendingCalls();
            return TRUE;
        case WM_SYSCOMMAND:
            // The About entry is handled here; every other command goes on to the default.
            return dialog.OnSysCommand(static_cast<unsigned>(wParam)) ? TRUE : FALSE;
        case WM_PAINT:
            if (!IsIconic(window)) return FALSE;
            PaintMinimised(window, main->host.Icon(true));
            return TRUE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(main->host.Icon(true));
        case WM_COMMAND:
            // Buttons, Enter (1) and Esc (2) come as clicks; notifications of the combos and the
            // list carry other codes.
            if (LOWORD(wParam) == IDC_PORT_COMBO) {
                if (HIWORD(wParam) == CBN_DROPDOWN) dialog.OnPortListOpening();
                if (HIWORD(wParam) == CBN_SELCHANGE || HIWORD(wParam) == CBN_EDITCHANGE)
                    dialog.OnPortSelected();
                return TRUE;
            }
            if (HIWORD(wParam) == BN_CLICKED) dialog.OnCommand(LOWORD(wParam));
            return TRUE;
        case WM_CONTEXTMENU:
            // The log's own menu; elsewhere the window has none.
            if (reinterpret_cast<HWND>(wParam) != GetDlgItem(window, IDC_LOG_LIST)) return FALSE;
            dialog.OnLogContextMenu(static_cast<short>(LOWORD(lParam)),
                                    static_cast<short>(HIWORD(lParam)));
            return TRUE;
        case WM_DEVICECHANGE:
            // A device came or went (DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE), or the
            // system's device tree changed (DBT_DEVNODES_CHANGED).
            if (wParam == 0x8000 || wParam == 0x8004 || wParam == 0x0007) dialog.OnDevicesChanged();
            return TRUE;
        case WM_TIMER:
            dialog.OnTimer(static_cast<int>(wParam));
            return TRUE;
        case WM_DESTROY:
            dialog.ShutDown();
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

INT_PTR RunMainWindow(HINSTANCE instance, const EngineFactory& makeEngine) {
    MainWindow main{Win32Host(instance), makeEngine, nullptr};
    const INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(kMainDialogTemplate), nullptr,
                                           MainDialogProc, reinterpret_cast<LPARAM>(&main));
    main.dialog.reset();
    return result;
}

bool CPellorinApp::InitInstance() {
    // The progress bar's class and the version 6 look of the standard controls.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    RunMainWindow(m_instance, m_makeEngine);
    return false;
}

}  // namespace pellorin::win32
