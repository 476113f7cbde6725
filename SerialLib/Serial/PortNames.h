// Port numbers to device paths on Linux, and the serial layer's probe of a path
// (CSerial::ProbePort; the port list never uses it: it opens nothing).
//
// If the environment variable PELLORIN_COM_DIR names a folder, port n is "<dir>/comN" (usually a
// symbolic link to a tty or a pseudo-terminal), present only while the link resolves. Otherwise
// each present serial device keeps the number bound to it (PortCatalog.h); devices seen for the
// first time are numbered in this order: real UARTs ttyS* that have hardware behind them, then
// ttyUSB*, then ttyACM*, each group by device number.
#pragma once

#include <string>
#include <vector>

// The device path of port `number`, "" when there is no such port.
[[nodiscard]] std::string PortDevicePath(int number);

// The devices that get the numbers COM1, COM2, ... when PELLORIN_COM_DIR is not set.
[[nodiscard]] std::vector<std::string> PresentSerialDevices();
// The same from another copy of /sys/class/tty (tests build one).
[[nodiscard]] std::vector<std::string> PresentSerialDevices(const std::string& ttyClassDir);

// What CSerial::Open opens for a name: "COM<n>" (any case) through PortDevicePath ("" when the
// port does not exist), any other name as given.
[[nodiscard]] std::string ResolvePortName(const char* name);

enum class PortProbe {
    Available,     // it opened
    Missing,       // no such device, or it cannot work now
    NotPermitted,  // this user may not open it
    InUse,         // another program holds it exclusively
};

// Opens the path (read-write, no controlling terminal, non-blocking) and closes it at once. It
// takes no lock, so probing never disturbs a program that is opening the port at the same time.
[[nodiscard]] PortProbe ProbePortPath(const std::string& path);

// The errno of that open, 0 when it opened.
[[nodiscard]] int ProbePortError(const std::string& path);
