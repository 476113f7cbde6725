// pellorin-read-window: prints what the running Pellorin window shows, for scripts that drive it
// under Wine: the fields, the selected port and speed, the bar, the job buttons' states and the
// log (newest line first). One "name: value" line each, UTF-8; exit status 1 when no window.
//
//   wine pellorin-read-window.exe
// commctrl.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <cstdio>
#include <string>

namespace {

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                        length, nullptr, nullptr);
    return narrow;
}

// The messages below are the ones the system carries across processes with their text.
std::string ControlText(HWND control) {
    wchar_t text[512] = {};
    SendMessageW(control, WM_GETTEXT, static_cast<WPARAM>(std::size(text)),
                 reinterpret_cast<LPARAM>(text));
    return Narrow(text);
}

std::string ComboSelection(HWND combo) {
    const LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return "";
    wchar_t text[512] = {};
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    return Narrow(text);
}

}  // namespace

int main() {
    const HWND window = FindWindowW(L"#32770", L"Pellorin");
    if (window == nullptr) {
        std::fprintf(stderr, "pellorin-read-window: no Pellorin window\n");
        return 1;
    }
    const struct {
        const char* name;
        int id;
    } fields[] = {{"total", 1017},  {"written", 1018}, {"elapsed", 1019},
                  {"remain", 1020}, {"speed", 1021},   {"percent", 1016}};
    for (const auto& field : fields)
        std::printf("%s: %s\n", field.name, ControlText(GetDlgItem(window, field.id)).c_str());
    std::printf("port: %s\n", ComboSelection(GetDlgItem(window, 1003)).c_str());
    std::printf("speed-field: %s\n", ComboSelection(GetDlgItem(window, 1004)).c_str());
    const HWND bar = GetDlgItem(window, 1013);
    std::printf("bar: %ld of %ld\n", static_cast<long>(SendMessageW(bar, PBM_GETPOS, 0, 0)),
                static_cast<long>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0)));
    for (int id : {1, 3, 1035})
        std::printf("button-%d: %s\n", id,
                    IsWindowEnabled(GetDlgItem(window, id)) ? "enabled" : "disabled");
    const HWND log = GetDlgItem(window, 1001);
    const LRESULT lines = SendMessageW(log, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < lines; ++i) {
        wchar_t text[512] = {};
        if (SendMessageW(log, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0) >= LRESULT(std::size(text)))
            continue;
        SendMessageW(log, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        std::printf("log: %s\n", Narrow(text).c_str());
    }
    return 0;
}
