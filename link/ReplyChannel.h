// The reply channel: commands from the worker to the device, the device's reply lines back.
//
// Threads: OnSerialMessage runs on the window thread (posted by the port's listener); every other
// operation runs on the worker and blocks it. Bytes travel port -> OnSerialMessage -> RxBuffer ->
// RxEvent -> WaitReply. A command's write divides the bytes: those that arrived before it began
// are stale and dropped (SendCommand also drops what the port still holds then), those taken in
// after it began are its reply, whenever the system signals the write's completion on TxDoneEvent
// (a fast device can answer before that). RxEvent is set only when bytes were taken in.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>

#include "SerialLib/Serial/DeviceSerial.h"
#include "console/WireObserver.h"
#include "link/RingBuffer.h"
#include "platform/Event.h"
#include "platform/StopSignal.h"

namespace pellorin {

// Callers pass reply buffers of this size, zeroed beforehand.
constexpr std::size_t kReplyBufferSize = 512;

class ReplyChannel {
  public:
    ReplyChannel(CDeviceSerial& port, const platform::StopSignal& stop)
        : m_port(port), m_stop(stop) {}

    // Window thread: the handler of the port's notification message. Returns 0.
    long OnSerialMessage(WPARAM wParam, LPARAM lParam);

    // Worker: writes `count` bytes and waits up to firstReplyWaitMs for the first reply bytes.
    bool SendCommand(const char* bytes, std::size_t count, DWORD firstReplyWaitMs);
    // Worker: collects one reply line into `reply` (kReplyBufferSize bytes, zeroed by the caller).
    // Returns the reply's length (the index of its final carriage return, now a zero byte), or 0
    // for no reply within timeoutMs.
    int WaitReply(char* reply, DWORD timeoutMs);
    // Worker: sends a zero-terminated command and collects its reply within ReplyTimeout.
    int Transact(const char* command, char* reply);
    // Worker: up to two Transacts until a reply begins with `expected`.
    bool TransactExpect(const char* command, const char* expected);

    // Wakes a waiting worker so that it sees the stop request at once.
    void WakeForStop() {
        m_interrupt.Set();
        RxEvent.Set();
    }

    // The port's device has gone (an adapter pulled out): its listener said so, a read or a
    // write found it gone, or a write failed. From then on no command goes out, every reply wait
    // and every Pause of this job ends at once, and OnLinkLost runs once on the worker, before
    // the wait that noticed returns.
    [[nodiscard]] bool LinkLost() const { return m_linkLost.load(); }
    // A new job on a freshly opened port (worker, before its first command).
    void ResetLinkLost();
    // Worker: pauses ms program milliseconds, less on a stop request or a lost link (then
    // false).
    bool Pause(DWORD ms);
    std::function<void()> OnLinkLost;

    // The observer told of every command written and every piece of bytes read (the update
    // record). Set once, before the port is first opened; null for none.
    void SetWireObserver(WireObserver* observer) { m_wire = observer; }

    // The reply time-out of Transact in ms; the procedures set it per phase and nothing resets
    // it, so a job starts with what the previous one left.
    int ReplyTimeout = 8000;

    RingBuffer RxBuffer;
    platform::Event TxDoneEvent;
    platform::Event RxEvent;

  private:
    // Moves new bytes from RxBuffer behind `total` bytes of the reply. Returns the reply length
    // when the new bytes hold a carriage return, -1 when they do not (a full buffer then keeps
    // only its newest bytes).
    int TakeReplyBytes(char* reply, std::size_t& total);
    // With m_takeInMutex held: reads what the port holds, in chunks, until it holds no more;
    // appends it to RxBuffer and signals RxEvent when `keep`, else drops it. The wire observer
    // sees every byte read.
    void TakeIn(bool keep);
    // Any thread: records the loss and wakes the worker's waits.
    void MarkLinkLost();
    // Worker: true when the link is lost; reports the loss once.
    bool NoticeLinkLost();

    CDeviceSerial& m_port;
    const platform::StopSignal& m_stop;
    // The record of the command write lives as long as the channel, so it stays valid however
    // long the write takes after SendCommand has returned.
    OVERLAPPED m_txRecord{};
    // Held while bytes are taken in from the port, and while a command's write begins (with the
    // stale bytes dropped before it), so that every byte falls on one side of that moment.
    std::mutex m_takeInMutex;
    // Set by the window thread and the worker, read by the worker.
    std::atomic<bool> m_linkLost{false};
    bool m_lossReported = false;  // worker only
    bool m_writeFailed = false;   // worker only: the last command never went out
    platform::Event m_interrupt;  // ends Pause: a stop request or a lost link
    WireObserver* m_wire = nullptr;
};

}  // namespace pellorin
