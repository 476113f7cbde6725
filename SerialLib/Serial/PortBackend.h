// The seam between CSerial's class layer and the operating system. Every OS call on an open port
// is made behind this interface, by the backend of the port: for the system's own ports the one
// the build chose, PosixPort.h (termios, Linux) or Win32Port.cpp (the Win32 communications API);
// for a port behind a network serial server RemotePort.h, on every system.
//
// A backend reports a status and, on failure, which step failed, so that the class layer writes
// the operation's own trace line; backends write no traces of their own. The class layer checks
// preconditions, refuses records on a port without overlapped mode and keeps every status code.
//
// Threading: any thread may run an operation while it holds a PortUse (a short "in use" guard).
// Shutdown marks the port closing, ends every wait and pending transfer (their records complete
// with ERROR_OPERATION_ABORTED) and waits until no guard is left; only then is the object
// destroyed, so no handle is ever closed under another thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

#include "SerialLib/Serial/SerialTypes.h"
#include "platform/Win32Types.h"

class LineDriver;  // the Linux backend's seam to the tty driver (LineDriver.h)
class CommCalls;   // the Windows backend's seam to the system's calls (CommCalls.h)

// The step of an operation that failed.
enum class PortFailure {
    None,
    Open,    // the port itself could not be opened
    Create,  // an event could not be created
    Obtain,  // the current settings could not be read
    Set,     // the new settings were refused or not applied
    Call,    // the transfer or wait call failed
    Wait,    // the wait for a pending transfer failed
    Result,  // the result of a completed transfer could not be taken
};

struct PortResult {
    LONG status = ERROR_SUCCESS;
    PortFailure failure = PortFailure::None;
    DWORD count = 0;  // bytes moved, for Read and Write

    [[nodiscard]] bool Ok() const { return status == ERROR_SUCCESS; }
    static PortResult Success(DWORD count = 0) { return {ERROR_SUCCESS, PortFailure::None, count}; }
    static PortResult Failed(LONG status, PortFailure failure, DWORD count = 0) {
        return {status, failure, count};
    }
};

// The line as the driver holds it; the Win32 values of CSerial's parameters.
struct LineSettings {
    LONG baudrate = -1;  // -1 for a rate that is no standard rate
    int dataBits = -1;
    int parity = -1;
    int stopBits = -1;
    bool ctsFlow = false, dsrFlow = false;
    bool dtrHandshake = false, rtsHandshake = false;
    bool xonXoff = false;  // both directions
    BYTE eventChar = 0;
};

struct PortOptions {
    bool overlapped = false;
    std::shared_ptr<LineDriver> lineDriver;  // Linux only; null: the kernel's
    std::shared_ptr<CommCalls> commCalls;    // Windows only; null: the system's
};

class PortBackend {
  public:
    virtual ~PortBackend() = default;
    PortBackend(const PortBackend&) = delete;
    PortBackend& operator=(const PortBackend&) = delete;

    // Opens `name` ("COM<n>", a device name, or a remote port: RemotePortName.h) exclusively,
    // and in overlapped mode creates the internal record's event. Failure Open or Create;
    // nothing is left open on failure.
    [[nodiscard]] static PortResult Open(const char* name, const PortOptions& options,
                                         std::unique_ptr<PortBackend>& port);
    // The same for the system's own ports, one definition per system's backend.
    [[nodiscard]] static PortResult OpenLocal(const char* name, const PortOptions& options,
                                              std::unique_ptr<PortBackend>& port);

    // Guards. TryUse fails once Shutdown has begun.
    [[nodiscard]] bool TryUse();
    void EndUse();
    void Shutdown();

    // The event of the internal overlapped record; null when the port is not overlapped.
    [[nodiscard]] virtual const void* InternalEvent() const = 0;
    [[nodiscard]] bool Overlapped() const { return InternalEvent() != nullptr; }
    // Receive and transmit queue sizes (both at least 16).
    virtual PortResult SetQueues(DWORD dwInQueue, DWORD dwOutQueue) = 0;
    // The system's default configuration of the device (Obtain or Set on failure).
    virtual PortResult ApplyDefaultConfiguration() = 0;
    // Rate, data bits, parity and stop bits; read back, and the old state restored when the
    // driver did not apply them (Set, ERROR_INVALID_PARAMETER).
    virtual PortResult Setup(DWORD dwBaudrate, BYTE bDataBits, BYTE bParity, BYTE bStopBits) = 0;
    // CSerial::Handshake, already checked to be in range.
    virtual PortResult SetupHandshaking(int eHandshake) = 0;
    // CSerial::ReadTimeoutMode, already checked to be in range.
    virtual PortResult SetupReadTimeouts(int eReadTimeoutMode) = 0;
    virtual PortResult GetLine(LineSettings& settings) = 0;
    virtual PortResult SetEventChar(BYTE bEventChar) = 0;
    // Also ends a pending WaitEvent with no event bits.
    virtual PortResult SetMask(DWORD dwMask) = 0;

    // The transfers follow the overlapped record rule: with the caller's record (lpOverlapped)
    // a transfer that cannot finish at once returns success with count 0 and completes the
    // record later; one that finishes at once signals the record's event before returning.
    // Without a record in overlapped mode the backend uses its internal record and waits up to
    // dwTimeout (ERROR_TIMEOUT cancels the port's pending transfers). `pdwEvent` receives the
    // event bits when the wait completes (mask 0 within: none).
    virtual PortResult WaitEvent(DWORD* pdwEvent, LPOVERLAPPED lpOverlapped, DWORD dwTimeout) = 0;
    // After the event of a WaitEvent given the caller's record was signalled: the wait's outcome,
    // its event bits in `pdwEvent` (a wait may have been ended by a failure of the port, such as
    // its device going). The listener calls it once per wait.
    virtual PortResult EndWait(DWORD* /*pdwEvent*/, LPOVERLAPPED /*lpOverlapped*/) {
        return PortResult::Success();
    }
    virtual PortResult Write(const void* pData, std::size_t iLen, LPOVERLAPPED lpOverlapped,
                             DWORD dwTimeout) = 0;
    virtual PortResult Read(void* pData, std::size_t iLen, LPOVERLAPPED lpOverlapped,
                            DWORD dwTimeout) = 0;

    virtual PortResult Purge() = 0;
    virtual PortResult SetBreak(bool on) = 0;
    // The CE_ bits since the last call; clears the port's error state.
    virtual PortResult ClearCommError(DWORD& dwErrors) = 0;
    // The MS_ bits of the modem input lines.
    virtual PortResult GetModemStatus(DWORD& dwStatus) = 0;
    // Ends the transfers pending on the port (their records complete with 995).
    virtual void CancelIo() = 0;
    // Forgets a mask change that no wait has taken.
    virtual void ForgetMaskChange() {}

  protected:
    PortBackend() = default;
    // True once Shutdown has begun: a transfer that fails from then on was ended by the close.
    [[nodiscard]] bool Closing();
    // Ends every wait and pending transfer of the port; called once, by Shutdown.
    virtual void WakeAll() = 0;
    // After the last guard has dropped: joins whatever helpers the backend runs.
    virtual void AfterLastUse() {}

  private:
    std::mutex m_useMutex;
    std::condition_variable m_useDropped;
    int m_users = 0;
    bool m_closing = false;
};

// Holds a guard on the port for the length of one operation.
class PortUse {
  public:
    PortUse() = default;
    explicit PortUse(PortBackend* port) : m_port(port) {}
    ~PortUse() {
        if (m_port) m_port->EndUse();
    }
    PortUse(PortUse&& other) noexcept : m_port(other.m_port) { other.m_port = nullptr; }
    PortUse& operator=(PortUse&&) = delete;
    PortUse(const PortUse&) = delete;

    explicit operator bool() const { return m_port != nullptr; }
    PortBackend* operator->() const { return m_port; }
    PortBackend& operator*() const { return *m_port; }

  private:
    PortBackend* m_port = nullptr;
};
