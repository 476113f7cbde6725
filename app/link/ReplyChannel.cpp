// Send-and-wait over the port, and the window thread's half that fills the receive buffer.
#include "app/link/ReplyChannel.h"

#include <cstring>

#include "platform/Clock.h"

namespace pellorin {
namespace {
constexpr std::size_t kReadChunk = 128;
constexpr DWORD kFirstReplyWaitMs = 1000;
constexpr int kExpectTries = 2;
}  // namespace

long ReplyChannel::OnSerialMessage(WPARAM wParam, LPARAM /*lParam*/) {
    const DWORD events = static_cast<DWORD>(wParam & 0xFFFF);
    if ((events & EV_RXCHAR) == 0) return 0;  // a break or a line error alone changes nothing
    if (!TxDoneEvent.IsSet()) RxBuffer.Clear();
    for (;;) {
        char chunk[kReadChunk + 1];
        DWORD read = 0;
        if (m_port.Read(chunk, kReadChunk, &read, nullptr, INFINITE) != ERROR_SUCCESS) read = 0;
        chunk[read] = 0;
        RxBuffer.Append(chunk, read);
        RxEvent.Set();
        if (read != kReadChunk) break;
    }
    return 0;
}

bool ReplyChannel::SendCommand(const char* bytes, std::size_t count, DWORD firstReplyWaitMs) {
    if (m_stop.Requested()) return false;
    // A record still in use by an earlier write that has not finished cannot carry a new one.
    if (!HasOverlappedIoCompleted(&m_txRecord) &&
        TxDoneEvent.Wait(static_cast<DWORD>(ReplyTimeout)) != WAIT_OBJECT_0) {
        return false;
    }
    TxDoneEvent.Reset();
    RxEvent.Reset();
    m_txRecord = OverlappedFor(TxDoneEvent);
    RxBuffer.Clear();
    DWORD written = 0;
    if (m_port.Write(bytes, count, &written, &m_txRecord, INFINITE) != ERROR_SUCCESS) return false;
    if (RxEvent.Wait(firstReplyWaitMs) != WAIT_OBJECT_0) return false;
    return !m_stop.Requested();
}

int ReplyChannel::TakeReplyBytes(char* reply, std::size_t& total) {
    // One byte of the caller's buffer always stays zero, so a reply is terminated even when it
    // fills the buffer.
    const std::size_t room = kReplyBufferSize - 1 - total;
    const std::size_t taken = RxBuffer.TakeAll(reply + total, room);
    for (std::size_t i = total + taken; i > total; --i) {
        if (reply[i - 1] == '\r') {
            reply[i - 1] = 0;
            return static_cast<int>(i - 1);
        }
    }
    total += taken;
    // A device that streams without a carriage return cannot overrun the buffer: a reply that
    // does not fit is no reply.
    return total >= kReplyBufferSize - 1 ? -2 : -1;
}

int ReplyChannel::WaitReply(char* reply, DWORD timeoutMs) {
    std::size_t total = 0;
    int length = TakeReplyBytes(reply, total);
    if (length >= 0) return length;
    if (length == -2) return 0;
    const DWORD deadline = platform::GetTickCount() + timeoutMs;
    for (;;) {
        if (m_stop.Requested()) return 0;
        const DWORD now = platform::GetTickCount();
        const DWORD left = deadline - now;
        // Reached once `now` has passed the deadline, also across a wrap of the tick count.
        if (static_cast<std::int32_t>(left) <= 0) return 0;
        (void)RxEvent.Wait(left);
        RxEvent.Reset();
        length = TakeReplyBytes(reply, total);
        if (length >= 0) return length;
        if (length == -2) return 0;
    }
}

int ReplyChannel::Transact(const char* command, char* reply) {
    (void)SendCommand(command, std::strlen(command), kFirstReplyWaitMs);
    return WaitReply(reply, static_cast<DWORD>(ReplyTimeout));
}

bool ReplyChannel::TransactExpect(const char* command, const char* expected) {
    const std::size_t expectedLength = std::strlen(expected);
    for (int attempt = 0; attempt < kExpectTries; ++attempt) {
        char reply[kReplyBufferSize] = {};
        if (Transact(command, reply) != 0 && std::strncmp(reply, expected, expectedLength) == 0) {
            return true;
        }
        if (m_stop.Requested()) return false;
    }
    return false;
}

}  // namespace pellorin
