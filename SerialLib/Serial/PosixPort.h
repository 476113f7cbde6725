// The Linux backend of the serial layer: the tty descriptor with its lock, the descriptors that
// wake blocked waits, the driver's counter baseline, and the helper threads that finish
// overlapped transfers. The line's settings, error counters, modem lines and break go through
// the LineDriver seam; the lock, the exclusive flag, the count of waiting bytes and the purge go
// to the kernel directly.
//
// Each blocking wait of the backend includes the close descriptor, so Shutdown ends them all.
// The members are defined by seam: PosixPort.cpp (open, close, counters), PosixPortLine.cpp
// (line settings), PosixPortWaits.cpp (waits), PosixPortTransfers.cpp (reads, writes and the
// event wait with or without the caller's record).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "SerialLib/Serial/LineDriver.h"
#include "SerialLib/Serial/PortBackend.h"
#include "SerialLib/Serial/SerialTypes.h"
#include "platform/Event.h"
#include "platform/Win32Types.h"

// A point on the steady clock after which a wait gives up; none for INFINITE.
class Deadline {
  public:
    // timeoutMs is in program milliseconds (platform/Clock.h scales it).
    explicit Deadline(DWORD timeoutMs);
    [[nodiscard]] bool Infinite() const { return !m_at.has_value(); }
    // What poll() and epoll_wait() take: -1 for no limit, else whole real milliseconds left.
    [[nodiscard]] int PollTimeout() const;
    [[nodiscard]] bool Passed() const;

  private:
    std::optional<std::chrono::steady_clock::time_point> m_at;
};

class PosixPort final : public PortBackend {
  public:
    ~PosixPort() override;

    // Opens `path` exclusively (flock and TIOCEXCL) and prepares the wake descriptors and the
    // event wait. The line settings are left to the caller. Returns a status.
    [[nodiscard]] static LONG OpenPath(const std::string& path, bool overlapped,
                                       std::shared_ptr<LineDriver> driver,
                                       std::unique_ptr<PosixPort>& port);

    // The interface of PortBackend.
    [[nodiscard]] const void* InternalEvent() const override { return m_overlappedEvent.get(); }
    PortResult SetQueues(DWORD dwInQueue, DWORD dwOutQueue) override;
    PortResult ApplyDefaultConfiguration() override;
    PortResult Setup(DWORD dwBaudrate, BYTE bDataBits, BYTE bParity, BYTE bStopBits) override;
    PortResult SetupHandshaking(int eHandshake) override;
    PortResult SetupReadTimeouts(int eReadTimeoutMode) override;
    PortResult GetLine(LineSettings& settings) override;
    PortResult SetEventChar(BYTE bEventChar) override;
    PortResult SetMask(DWORD dwMask) override;
    PortResult WaitEvent(DWORD* pdwEvent, LPOVERLAPPED lpOverlapped, DWORD dwTimeout) override;
    PortResult Write(const void* pData, std::size_t iLen, LPOVERLAPPED lpOverlapped,
                     DWORD dwTimeout) override;
    PortResult Read(void* pData, std::size_t iLen, LPOVERLAPPED lpOverlapped,
                    DWORD dwTimeout) override;
    PortResult Purge() override;
    PortResult SetBreak(bool on) override;
    PortResult ClearCommError(DWORD& dwErrors) override;
    PortResult GetModemStatus(DWORD& dwStatus) override;
    void CancelIo() override { CancelHelpers(); }
    void ForgetMaskChange() override { DrainMaskChange(); }

    [[nodiscard]] int Fd() const { return m_fd; }
    [[nodiscard]] LineDriver& Driver() { return *m_driver; }

    // Outcome of a wait on the port.
    enum class Wake {
        Arrival,
        Writable,
        MaskChanged,
        Closing,
        Cancelled,
        HungUp,
        TimedOut,
        Failed
    };
    struct WaitResult {
        Wake wake;
        int error = 0;  // errno for Failed
    };

    // The listener's wait (edge-triggered: one wake per arrival). A pending mask change ends it
    // with MaskChanged and is consumed; an arrival that comes with it is reported first and the
    // mask change stays pending for the next wait.
    [[nodiscard]] WaitResult WaitPortEvent(const Deadline& deadline);
    // Registers the port in the event wait afresh. A termios change wakes the tty's readers;
    // the wake-ups of the line setup at open must not sit in the wait's ready list, or bytes
    // that arrive next would be reported twice.
    void RearmEventWait();
    // Ends the current (or next) WaitPortEvent with MaskChanged.
    void SignalMaskChange();
    void DrainMaskChange();

    // Waits until `count` bytes can be read without waiting (edge-triggered per arrival, so a
    // partial count causes no busy loop). cancelFd (or -1) ends the wait with Cancelled.
    [[nodiscard]] WaitResult WaitReadable(std::size_t count, const Deadline& deadline,
                                          int cancelFd = -1);
    // Waits until the port takes more output.
    [[nodiscard]] WaitResult WaitWritable(const Deadline& deadline, int cancelFd = -1);
    // True when the other side has hung up (a read of 0 bytes then means that, not "nothing").
    [[nodiscard]] bool HungUp();
    // Bytes the driver holds for reading; -1 with errno on failure.
    [[nodiscard]] long Available();

    // Counter bookkeeping. NoteCounters compares the driver's counters with the baseline and
    // returns the EV_BREAK / EV_ERR bits of the increase; the matching CE_ bits are kept until
    // TakeErrors. Both return an errno through `error` (0 when the counters were read; ENOTTY or
    // EINVAL when the driver keeps none, which is not a failure).
    DWORD NoteCounters(int& error);
    DWORD TakeErrors(int& error);

    // Runs `work` on a helper thread that holds a guard on this port until it returns. `work`
    // gets a descriptor that CancelHelpers signals. Returns false (nothing started) when the
    // port is closing or no thread could be started.
    [[nodiscard]] bool StartHelper(std::function<void(int cancelFd)> work);
    void CancelHelpers();

  protected:
    void WakeAll() override;
    void AfterLastUse() override;

  private:
    PosixPort() = default;
    // Makes the close and mask descriptors and the listener's event wait; 0 or errno.
    [[nodiscard]] int PrepareWaits();

    struct Helper {
        std::thread thread;
        int cancelFd = -1;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void ReapHelpers(bool all);

    int m_fd = -1;
    int m_closeFd = -1;  // eventfd, written once by Shutdown and never drained
    int m_maskFd = -1;   // eventfd, written by SignalMaskChange, drained by WaitPortEvent
    int m_epollFd = -1;  // the listener's edge-triggered set: port, close, mask
    bool m_locked = false;
    bool m_exclusive = false;
    std::shared_ptr<LineDriver> m_driver;
    std::unique_ptr<platform::Event> m_overlappedEvent;
    // Per-port settings that termios has no place for.
    std::atomic<int> m_readMode{0};  // CSerial::ReadTimeoutMode
    std::atomic<BYTE> m_eventChar{0};
    std::atomic<DWORD> m_mask{0};
    std::atomic<bool> m_hungUp{false};

    std::mutex m_counterMutex;
    LineCounters m_baseline;
    bool m_haveBaseline = false;
    int m_noCounters = 0;  // the error of a driver that keeps none; not asked again
    DWORD m_pendingErrors = 0;

    std::mutex m_helperMutex;
    std::vector<Helper> m_helpers;
};
