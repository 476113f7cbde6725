// The serial ports of this machine as the operator chooses them: each with its COM number, an
// identity that survives replugging, where it is now, what it is, and whether it can be opened
// now and if not, why. The window's port list and `pellorin-cli ports` show this list; a job opens
// the port through it, so a COM number always means the same adapter.
//
// Identities: a USB adapter with a serial number is "usb:<vendor>:<product>:<serial>:<interface>"
// (the same adapter in any socket); one without is "usb-port:<bus-port path>:<interface>" (the
// same socket); a built-in UART is "uart:<node name>"; an entry of PELLORIN_COM_DIR is
// "dir:<entry path>" and keeps the number in its name. Without PELLORIN_COM_DIR, an identity seen
// for the first time gets the lowest free number from 1 (UARTs first, then USB adapters, then ACM
// devices, as the numbering always went), and keeps it across replugs and restarts: the binding
// is remembered in the user's settings (PortBindings.h). When all numbers 1 to 29 are bound, the
// number of an absent identity is given again (the one bound longest ago).
//
// Listing opens no port: opening a tty raises its DTR and RTS lines, which can reset or disturb
// the device on an adapter that another program uses. Only a job opens a port, the one chosen.
// Nothing here uses a GUI toolkit; the discovery itself is per operating system (Linux: sysfs,
// /dev, /proc, /run/lock; PortCatalogLinux.cpp. Windows: the system's device map;
// PortCatalogWin32.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "SerialLib/Serial/PortNames.h"

namespace serial {

enum class PortState {
    Free,          // it can be opened now
    InUse,         // another program has it open or locked
    NotPermitted,  // this user may not open it
    Unusable,      // not a serial port, or it does not open (no hardware, an I/O error)
    Absent,        // the identity bound to this number is not plugged in
};

// A program that holds the port: its process id and its name (/proc/<pid>/comm).
struct PortHolder {
    int pid = 0;
    std::string program;
};

struct PortInfo {
    int number = -1;       // the COM number, 0 to 29
    std::string name;      // "COM3"
    std::string identity;  // see above
    std::string path;      // what a job opens: the device node, or the PELLORIN_COM_DIR entry
    std::string device;    // the device node behind it now (the entry's target for a COM folder)
    std::string byId;      // its /dev/serial/by-id name, "" when there is none
    // From the USB device's descriptors (sysfs); "" when unknown or not USB.
    std::string maker;
    std::string product;
    std::string serialNumber;
    std::string driver;  // the tty's driver (ftdi_sio, cdc_acm, serial8250, ...)

    PortState state = PortState::Free;
    std::vector<PortHolder> holders;  // InUse: who has it, where that could be found
    std::string group;                // NotPermitted: the group that owns the device
    // One line on why it cannot be opened, "" when Free: "in use by minicom (PID 4242)",
    // "permission denied: the device belongs to group dialout; run: sudo usermod -aG dialout
    // $USER, then log in again", "not plugged in", ...
    std::string reason;

    // One line: "/dev/ttyUSB0, FTDI FT232R USB UART, serial A50285BI" (what the window shows
    // beside the list).
    [[nodiscard]] std::string Description() const;
};

// Every port that exists now with a number from 0 to 29, by number, each with its state as far
// as it can be told without opening it (on Windows only that it exists: the system tells who has
// a port only to an open). New identities are bound to numbers here. Nothing is opened.
[[nodiscard]] std::vector<PortInfo> ListPorts();

// Where the port named `name` ("COM3", any case) is now: the identity given, or when that is
// empty the one bound to the number, looked up among the present ports. nullopt when the name is
// not a COM name (on Linux also for a number the list does not offer). A port whose identity is
// not plugged in comes back with state Absent and its reason.
[[nodiscard]] std::optional<PortInfo> LocatePort(const std::string& name,
                                                 const std::string& identity = {});

// Looks at a port's state now without opening it: whether it is there and is a serial port, who
// holds it (another process that has it open or locked, or a lock file), whether this user may
// open it. Fills state, holders, group and reason. A job looks before it opens the port, and
// again with `openStatus`, the serial layer's status, when its open failed: a failure the look
// cannot explain is then told from that status.
void DiagnosePort(PortInfo& port, long openStatus = 0);

// The reasons of a port that does not exist, and of a device that is no serial port.
inline constexpr const char* kNoSuchDevice = "no such device";
inline constexpr const char* kNotASerialPort = "not a serial port";

// The state as words for people: "free", "in use", "permission denied", "unusable", "absent".
[[nodiscard]] const char* StateName(PortState state);
// The state as one word for scripts: the same with a hyphen for each space ("in-use").
[[nodiscard]] std::string StateWord(PortState state);

// Watches for serial adapters being plugged in and out (and for changes of PELLORIN_COM_DIR),
// through a descriptor that an event loop waits on; no thread and no polling of its own.
class PortWatch {
  public:
    PortWatch();
    ~PortWatch();
    PortWatch(const PortWatch&) = delete;
    PortWatch& operator=(const PortWatch&) = delete;

    // The descriptor that becomes readable on a change; -1 when watching is not possible.
    [[nodiscard]] int Descriptor() const { return m_fd; }
    // Takes what is pending; true when it concerns serial ports.
    bool TakeChanges();

  private:
    int m_fd = -1;
};

#ifndef _WIN32
// The tty devices of a /sys/class/tty folder that are serial ports, in the order numbers are first
// given: real UARTs ttyS* that have hardware behind them, then ttyUSB*, then ttyACM*, each group
// by device number; virtual ttys and the kernel's UART placeholders are left out.
[[nodiscard]] std::vector<std::string> PresentSerialDevices(const std::string& ttyClassDir);
#endif

// For tests: discovery reads <root>/sys/class/tty, <root>/dev and <root>/run/lock instead of the
// system's, as long as the object lives.
class ScopedSystemRoot {
  public:
    explicit ScopedSystemRoot(std::string root);
    ~ScopedSystemRoot();
    ScopedSystemRoot(const ScopedSystemRoot&) = delete;
    ScopedSystemRoot& operator=(const ScopedSystemRoot&) = delete;

  private:
    std::string m_previous;
};

}  // namespace serial
