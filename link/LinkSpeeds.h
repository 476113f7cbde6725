// The link speeds in one table: the contact speed every job opens its port at, and the speeds the
// bootloader can be asked to move to, each with the speed box's entry, the command that asks for
// it and the rate the port moves to; the MCU's one command; the bootloader's acknowledgement. The
// windows' speed box, the command line's --baud, the update record and the port opening read it.
#pragma once

#include <cstddef>
#include <iterator>

namespace pellorin {

// Every job opens its port at this speed, 8 data bits, no parity, one stop bit; a job that asks
// for no other speed (no entry chosen, a raw TCP port) stays at it.
inline constexpr unsigned kContactBaud = 2400;

// One entry of the speed box and what it makes the link do. The commands are fixed byte strings:
// the digits in them are never built or parsed.
struct LinkSpeed {
    const char* boxEntry;  // the entry's text; the leading blanks sort the four-digit rates first
    const char* command;   // asks the device to move to the rate, CR included
    unsigned baud;         // the rate the port moves to
};

// The speed box's entries, in its list order.
inline constexpr LinkSpeed kLinkSpeeds[] = {
    {" 4800", "^S008BAUD048\r", 4800},
    {" 9600", "^S008BAUD096\r", 9600},
    {"19200", "^S008BAUD192\r", 19200},
    {"38400", "^S008BAUD384\r", 38400},
};
inline constexpr int kLinkSpeedCount = static_cast<int>(std::size(kLinkSpeeds));
// The entry "19200": selected when the window opens, and by "Update MCU".
inline constexpr int kBaudItem19200 = 2;

// The MCU, whatever the box shows: asked for 19200, its link runs at 9600.
inline constexpr LinkSpeed kMcuLinkSpeed = {"", "^S008BAUD192\r", 9600};

// Speed commands sent before the port moves to the new rate, whether or not one was
// acknowledged (the device may have moved although its acknowledgement was lost).
inline constexpr int kSpeedAttempts = 3;

// True when the reply (`length` bytes, the carriage return removed) begins with "^D006ACK"; what
// follows is not examined. The digits in it are fixed bytes, never parsed.
[[nodiscard]] bool IsSpeedAcknowledgement(const char* reply, int length);

}  // namespace pellorin
