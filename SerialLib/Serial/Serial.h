// CSerial: one serial port, with the status codes of the Win32 communications API. This class
// layer (statuses, preconditions, traces, the record rule) is the same on every system; the OS
// calls are made by the backend the build chose (PortBackend.h).
//
// Every operation that acts on the port returns a status (ERROR_SUCCESS or an error code) and
// leaves the same value in m_lError; the getters return their value and leave the status there.
// Each failure path writes one trace line naming the class and method. Nothing throws.
//
// Status codes on Linux (on Windows they are the system's own). The class produces 1 (a record or a
// finite time-out on a port opened without overlapped mode), 6 (an operation on a closed port), 87
// (a line setting the driver did not apply, or 1.5 stop bits, which Linux does not have), 1247
// (Open on an open object), 1460 (a wait on the internal record ran out), 1167 (the other side hung
// up: a USB adapter pulled out, a pseudo-terminal's master closed), 995 (a transfer ended by Close
// or CancelPendingIo) and 0x80070057 (a mode outside its enumeration). System errors are mapped in
// one place (SerialErrors.h): ENOENT/ENODEV/ENXIO -> 2, EACCES/EPERM/EBUSY and a lock held by
// someone else -> 5, EBADF -> 6, EINVAL -> 87, EIO -> 1117, ENOTTY -> 50, ENOMEM -> 8,
// EMFILE/ENFILE -> 4, anything else -> 31.
//
// Names. Open takes a device path, "COM<n>" (any case) or the name of a port behind a network
// serial server (RemotePortName.h). On Linux PortNames.h maps the number to a device; on Windows
// the name is opened as \\.\COM<n>, so that COM10 and above work.
//
// The line on Linux. Open sets the port raw: 8-bit clean, no echo, no line editing, no CR/LF
// translation, no signals, CLOCAL (the carrier line is ignored), receiver on, flow control off,
// reads that never wait in the driver (VMIN = VTIME = 0; waits are done with poll/epoll).
// HUPCL stays set on purpose: as on Windows, the modem lines drop when the last user closes the
// port, so the device sees the tool go away. Parity errors are counted but the byte is passed
// unchanged (no INPCK). Low latency (ASYNC_LOW_LATENCY) is asked for and a refusal ignored.
//
// Overlapped mode and records. In overlapped mode a Write or Read given the caller's record
// returns at once: either the transfer completed (count set, the record's event signalled
// before the call returns) or it goes on on a helper thread (status 0, count 0), which stores
// the status and count in the record and signals its event when the bytes are out (written) or
// in (read), or when Close ends it (995). A Write keeps its own copy of the data; a Read writes
// into the caller's buffer, which must stay valid until the record completes or the port is
// closed. The record and its event must stay valid until then, too.
//
// WaitEvent given the caller's record (as the listener does) waits on the calling thread on
// Linux and signals the record's event before it returns; on Windows it returns at once and the
// system signals the event later.
//
// Threads. Write and Setup may run on one thread, Read on a second, WaitEvent on a third, and
// Close on any of them while the others are inside an operation: each operation holds a short
// guard on the open port, and Close wakes every blocked wait and waits for the guards to drop
// before it closes the descriptor. Open and Close are serialised against each other.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

#include "SerialLib/Serial/PortBackend.h"
#include "SerialLib/Serial/SerialTypes.h"
#include "platform/Event.h"
#include "platform/Win32Types.h"

class CSerial {
  public:
    enum Handshake : int {
        HandshakeUnknown = -1,
        HandshakeOff = 0,
        HandshakeHardware = 1,  // RTS/CTS (Linux has no DTR/DSR flow control)
        HandshakeSoftware = 2,  // XON/XOFF both ways
    };
    enum ReadTimeoutMode : int {
        ReadTimeoutImmediate = 0,  // a read returns at once with what the driver holds
        ReadTimeoutBlocking = 1,   // a read waits until the requested count has arrived
    };

    CSerial();
    virtual ~CSerial();
    CSerial(const CSerial&) = delete;
    CSerial& operator=(const CSerial&) = delete;

    // The Linux driver seam for the next Open; null restores the kernel's. Tests use it for
    // what a pseudo-terminal cannot show. The Windows backend has no such seam and ignores it.
    void SetLineDriver(std::shared_ptr<LineDriver> pDriver);
    // The Windows backend's seam to the system's calls for the next Open; null restores the
    // system's. Tests use it to make the port fail as a driver does when its device has gone.
    // The Linux backend ignores it.
    void SetCommCalls(std::shared_ptr<CommCalls> pCalls);

    [[nodiscard]] virtual LONG Open(const char* lpszDevice, DWORD dwInQueue = 0,
                                    DWORD dwOutQueue = 0, bool fOverlapped = false);
    virtual LONG Close();
    [[nodiscard]] virtual LONG Setup(DWORD dwBaudrate = 9600, BYTE bDataBits = 8,
                                     BYTE bParity = NOPARITY, BYTE bStopBits = ONESTOPBIT);
    // Linux cannot look into the receive queue without taking the bytes, so there EV_RXFLAG is
    // never reported; the character is kept for GetEventChar.
    [[nodiscard]] virtual LONG SetEventChar(BYTE bEventChar, bool fAdjustMask = true);
    // Also ends a pending WaitEvent with no event bits; if no wait is pending, the next one ends
    // at once that way.
    [[nodiscard]] virtual LONG SetMask(DWORD dwMask = EV_BREAK | EV_ERR | EV_RXCHAR);
    [[nodiscard]] virtual LONG WaitEvent(LPOVERLAPPED lpOverlapped = nullptr,
                                         DWORD dwTimeout = INFINITE);
    [[nodiscard]] virtual LONG SetupHandshaking(Handshake eHandshake);
    [[nodiscard]] virtual LONG SetupReadTimeouts(ReadTimeoutMode eReadTimeoutMode);

    // Line settings as the driver holds them; -1 on failure.
    virtual LONG GetBaudrate();
    virtual int GetDataBits();
    virtual int GetParity();
    virtual int GetStopBits();
    virtual Handshake GetHandshaking();
    virtual DWORD GetEventMask();  // 0 on failure
    virtual BYTE GetEventChar();   // 0 on failure

    [[nodiscard]] virtual LONG Write(const char* pString, DWORD* pdwWritten = nullptr,
                                     LPOVERLAPPED lpOverlapped = nullptr,
                                     DWORD dwTimeout = INFINITE);
    [[nodiscard]] virtual LONG Write(const void* pData, size_t iLen, DWORD* pdwWritten = nullptr,
                                     LPOVERLAPPED lpOverlapped = nullptr,
                                     DWORD dwTimeout = INFINITE);
    // Fills all iLen bytes with 0xDC first; bytes past the count hold that fill.
    [[nodiscard]] virtual LONG Read(void* pData, size_t iLen, DWORD* pdwRead = nullptr,
                                    LPOVERLAPPED lpOverlapped = nullptr,
                                    DWORD dwTimeout = INFINITE);

    [[nodiscard]] bool IsOpen() const;
    // The bits of the last completed wait within the mask; clears them.
    DWORD GetEventType();
    // Discards what is waiting to be sent and what was received.
    LONG Purge();
    // Holds a break on the line for 100 ms.
    LONG Break();
    // The CE_ bits since the last call (or the last notification).
    DWORD GetError();
    bool GetCTS();
    bool GetDSR();
    bool GetRing();
    bool GetRLSD();

    [[nodiscard]] LONG GetLastError() const { return m_lError.load(); }

  protected:
    LONG Done(LONG lStatus) {
        m_lError.store(lStatus);
        return lStatus;
    }
    // Forgets a mask change that no wait has taken (after the listener it was meant for ended).
    void ForgetMaskChange();
    // After the event of a WaitEvent on the caller's record was signalled: the wait's status, its
    // event bits left for GetEventType. ERROR_DEVICE_NOT_CONNECTED when the port's device went.
    LONG EndWait(LPOVERLAPPED lpOverlapped);
    // Ends the helper transfers still pending on the port's records (they complete with 995).
    LONG CancelPendingIo();
    // The CE_ bits since the last call, folding in what the driver's counters show now. A driver
    // that keeps no counters reports none; only a failing driver gives a non-zero status.
    LONG ClearCommError(DWORD& dwErrors);

    std::atomic<LONG> m_lError{ERROR_SUCCESS};
    std::unique_ptr<PortBackend> m_hPort;  // guarded by m_mtxPort
    // Written by the port's wait when it completes (by the system, on Windows, while the wait
    // is pending) and read by the waiting thread afterwards.
    DWORD m_dwEvent = 0;
    std::atomic<DWORD> m_dwMask{0};
    // The internal record's event while the port is open in overlapped mode (owned by m_hPort).
    std::atomic<const void*> m_hevtOverlapped{nullptr};

  private:
    // A guard on the open port, or an empty one when it is closed or closing.
    PortUse UsePort() const;
    // What every operation on the port begins with: the status reset, and a guard on the open
    // port; on a closed one, the method's "Device is not opened" trace and ERROR_INVALID_HANDLE
    // as the status, with an empty guard.
    PortUse PortFor(const char* pszMethod);
    // The first steps of the record rule, shared by WaitEvent, Write and Read. Without overlapped
    // mode a record or a finite time-out is refused (the method's "Overlapped I/O is disabled"
    // trace, ERROR_INVALID_FUNCTION); in overlapped mode the caller's record must not be in use.
    LONG CheckRecord(const char* pszMethod, PortBackend& port, LPOVERLAPPED lpOverlapped,
                     DWORD dwTimeout);
    // The line settings for a getter; false (with the trace and the status) on failure.
    bool ReadLine(const char* pszMethod, LineSettings& settings);
    bool ModemLine(const char* pszMethod, DWORD dwLine);
    mutable std::mutex m_mtxPort;
    std::mutex m_mtxOpenClose;
    std::shared_ptr<LineDriver> m_pLineDriver;
    std::shared_ptr<CommCalls> m_pCommCalls;
};
