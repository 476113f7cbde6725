// Texts from the system on Windows: the narrow calls and the command line give them in the ANSI
// code page (1252 for Western Europe, 936 for Simplified Chinese, ...).
#include <windows.h>

#include <climits>

#include "platform/SystemText.h"

namespace platform {

bool SystemTextIsUtf8() { return GetACP() == CP_UTF8; }

std::string SystemTextToUtf8(const std::string& text) {
    // A text that cannot be converted stays as it is: what reads it as UTF-8 then shows its
    // stray bytes as U+FFFD.
    if (text.empty() || text.size() > INT_MAX || SystemTextIsUtf8()) return text;
    const int size = static_cast<int>(text.size());
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    if (wideLength <= 0) return text;
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), wideLength);
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return text;
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, utf8.data(), length, nullptr, nullptr);
    return utf8;
}

}  // namespace platform
