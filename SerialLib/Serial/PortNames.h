// Port names: the COM names ("COM3") that the operator chooses a port by, and what a name opens
// on this system.
//
// On Linux, if the environment variable PELLORIN_COM_DIR names a folder, port n is "<dir>/comN"
// (usually a symbolic link to a tty or a pseudo-terminal), present only while the link resolves;
// otherwise port n is the adapter bound to the number (PortCatalog.h), wherever it is plugged in
// now. On Windows a COM name is opened as \\.\COM<n>, the only form that reaches COM10 and above.
// Any other name is opened as given. (PortNames.cpp is the same everywhere; PortNamesLinux.cpp
// and PortNamesWin32.cpp hold what differs.)
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace serial {

// The numbers the port list offers.
constexpr int kFirstComNumber = 0;
constexpr int kLastComNumber = 29;

// The number of a COM name: "COM" in any case followed by decimal digits ("COM3", "com12",
// "COM05"); nullopt for any other name ("COM", "COMX", "COM3a") and for a number of more than six
// digits.
[[nodiscard]] std::optional<int> ComNumber(std::string_view name);

// The same, only for a number the port list offers (kFirstComNumber to kLastComNumber).
[[nodiscard]] std::optional<int> ListedComNumber(std::string_view name);

// "COM<number>".
[[nodiscard]] std::string ComName(int number);

#ifndef _WIN32
// The folder PELLORIN_COM_DIR names, "" when it is not set or is no folder.
[[nodiscard]] std::string ComDirectory();
#endif

}  // namespace serial

// What CSerial::Open opens for a name: on Linux a COM name through PortDevicePath ("" when the
// port does not exist), on Windows a COM name as \\.\COM<n>; any other name as given.
[[nodiscard]] std::string ResolvePortName(const char* name);

#ifndef _WIN32
// The device path of port `number` on Linux, "" when there is no such port.
[[nodiscard]] std::string PortDevicePath(int number);
#endif
