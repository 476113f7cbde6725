// The Win32 communications names the serial port classes keep: event and error bits, line
// parameter values, modem status bits and the overlapped record with its completion test.
// On Windows they are the system's own (and the record is the system's OVERLAPPED).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Event.h"
#include "platform/Win32Types.h"

#ifdef _WIN32

// The byte count of a completed record (what GetOverlappedResult reports).
inline DWORD GetOverlappedCount(const OVERLAPPED* lpOverlapped) {
    return static_cast<DWORD>(lpOverlapped->InternalHigh);
}
// The Win32 status of a completed record (ERROR_SUCCESS, or why the transfer ended early).
LONG GetOverlappedStatus(const OVERLAPPED* lpOverlapped);

#else

// Port events (the mask of SetMask, the bits of WaitEvent).
constexpr DWORD EV_RXCHAR = 0x0001;  // a byte arrived
constexpr DWORD EV_RXFLAG = 0x0002;  // the event character arrived
constexpr DWORD EV_BREAK = 0x0040;   // a break was received
constexpr DWORD EV_ERR = 0x0080;     // a line error (frame, parity, overrun)

// Line error bits (GetError, and the high word of the notification's WPARAM).
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;
constexpr DWORD CE_IOE = 0x0400;  // the device has gone (a USB adapter pulled out, a hang-up)

// Parity and stop bits, as Setup takes them.
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;

// Modem input lines.
constexpr DWORD MS_CTS_ON = 0x0010;
constexpr DWORD MS_DSR_ON = 0x0020;
constexpr DWORD MS_RING_ON = 0x0040;
constexpr DWORD MS_RLSD_ON = 0x0080;

// Internal value of a record whose transfer is still running.
constexpr std::uintptr_t STATUS_PENDING = 0x00000103u;

// The completion record of a transfer. Internal holds STATUS_PENDING while the transfer runs and
// its status afterwards; InternalHigh the byte count. Both may be written by another thread, so
// they are read and written through atomic_ref (HasOverlappedIoCompleted, GetOverlappedCount).
struct OVERLAPPED {
    std::uintptr_t Internal;
    std::uintptr_t InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    platform::Event* hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

inline bool HasOverlappedIoCompleted(const OVERLAPPED* lpOverlapped) {
    auto& internal = const_cast<std::uintptr_t&>(lpOverlapped->Internal);
    return std::atomic_ref<std::uintptr_t>(internal).load() != STATUS_PENDING;
}

// The byte count of a completed record (what GetOverlappedResult reports).
inline DWORD GetOverlappedCount(const OVERLAPPED* lpOverlapped) {
    auto& high = const_cast<std::uintptr_t&>(lpOverlapped->InternalHigh);
    return static_cast<DWORD>(std::atomic_ref<std::uintptr_t>(high).load());
}

// The status of a completed record (ERROR_SUCCESS, or why the transfer ended early).
inline LONG GetOverlappedStatus(const OVERLAPPED* lpOverlapped) {
    auto& internal = const_cast<std::uintptr_t&>(lpOverlapped->Internal);
    return static_cast<LONG>(std::atomic_ref<std::uintptr_t>(internal).load());
}

#endif

// A fresh record whose completion signals `event`; the record and the event must outlive the
// transfer.
inline OVERLAPPED OverlappedFor(platform::Event& event) {
    OVERLAPPED record{};
    record.hEvent = event.Handle();
    return record;
}
