// Send-and-wait over the port, and the window thread's half that fills the receive buffer.
#include "link/ReplyChannel.h"

#include <cstring>

#include "platform/Clock.h"

namespace pellorin {
namespace {
constexpr std::size_t kReadChunk = 128;
constexpr DWORD kFirstReplyWaitMs = 1000;
constexpr int kExpectTries = 2;

// Statuses of a transfer whose device has gone: a hang-up, EIO, or a node that no longer
// answers (ENXIO, ENODEV).
bool DeviceGone(LONG status) {
    return status == ERROR_DEVICE_NOT_CONNECTED || status == ERROR_IO_DEVICE ||
           status == ERROR_FILE_NOT_FOUND;
}
}  // namespace

void ReplyChannel::MarkLinkLost() {
    m_linkLost.store(true);
    m_interrupt.Set();
    RxEvent.Set();
}

bool ReplyChannel::NoticeLinkLost() {
    if (!m_linkLost.load()) return false;
    if (!m_lossReported) {
        m_lossReported = true;
        if (OnLinkLost && !m_stop.Requested()) OnLinkLost();
    }
    return true;
}

void ReplyChannel::ResetLinkLost() {
    m_linkLost.store(false);
    m_lossReported = false;
    m_writeFailed = false;
    if (!m_stop.Requested()) m_interrupt.Reset();
}

bool ReplyChannel::Pause(DWORD ms) {
    if (m_stop.Requested() || NoticeLinkLost()) return false;
    (void)m_interrupt.Wait(ms);
    return !m_stop.Requested() && !NoticeLinkLost();
}

long ReplyChannel::OnSerialMessage(WPARAM wParam, LPARAM /*lParam*/) {
    const DWORD events = static_cast<DWORD>(wParam & 0xFFFF);
    const DWORD errors = static_cast<DWORD>((wParam >> 16) & 0xFFFF);
    if (errors & CE_IOE) MarkLinkLost();
    if ((events & EV_RXCHAR) == 0) return 0;  // a break or a line error alone changes nothing
    // Whatever is taken in from here on arrived after the current command's write began (see
    // SendCommand), so it belongs to that command's reply, however late the system signals the
    // write's completion. A notification that finds no bytes (they were taken in by an earlier
    // one) signals nothing: a wait for the first reply must not end without one.
    std::lock_guard takingIn(m_takeInMutex);
    TakeIn(true);
    return 0;
}

void ReplyChannel::TakeIn(bool keep) {
    for (;;) {
        char chunk[kReadChunk + 1];
        DWORD read = 0;
        const LONG status = m_port.Read(chunk, kReadChunk, &read, nullptr, INFINITE);
        if (status != ERROR_SUCCESS) {
            read = 0;
            if (status == ERROR_DEVICE_NOT_CONNECTED) MarkLinkLost();
        }
        chunk[read] = 0;
        if (read != 0) {
            if (m_wire != nullptr) m_wire->OnBytesReceived(chunk, read);
            if (keep) {
                RxBuffer.Append(chunk, read);
                RxEvent.Set();
            }
        }
        if (read != kReadChunk) break;
    }
}

bool ReplyChannel::SendCommand(const char* bytes, std::size_t count, DWORD firstReplyWaitMs) {
    m_writeFailed = true;
    if (m_stop.Requested() || NoticeLinkLost()) return false;
    // A record still in use by an earlier write that has not finished cannot carry a new one.
    if (!HasOverlappedIoCompleted(&m_txRecord) &&
        TxDoneEvent.Wait(static_cast<DWORD>(ReplyTimeout)) != WAIT_OBJECT_0) {
        return false;
    }
    TxDoneEvent.Reset();
    m_txRecord = OverlappedFor(TxDoneEvent);
    DWORD written = 0;
    LONG status = ERROR_SUCCESS;
    {
        // Bytes that arrived before this write begins are stale (the tail of an earlier reply,
        // noise between commands): those taken in already and those the port still holds are
        // dropped. The receiving side takes nothing in until the write has begun, so everything
        // it takes in after this is the reply.
        std::lock_guard takingIn(m_takeInMutex);
        RxBuffer.Clear();
        TakeIn(false);
        RxEvent.Reset();
        if (m_wire != nullptr) m_wire->OnCommandSent(bytes, count);
        status = m_port.Write(bytes, count, &written, &m_txRecord, INFINITE);
    }
    if (status != ERROR_SUCCESS) {
        if (m_wire != nullptr) m_wire->OnSendFailed();
        // Nothing went out, so no reply can come: the caller does not wait for one.
        if (DeviceGone(status)) MarkLinkLost();
        (void)NoticeLinkLost();
        return false;
    }
    m_writeFailed = false;
    if (RxEvent.Wait(firstReplyWaitMs) != WAIT_OBJECT_0) return false;
    return !m_stop.Requested() && !NoticeLinkLost();
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
    if (total >= kReplyBufferSize - 1) {
        // A flood without a carriage return: keep its newest bytes and go on waiting for the
        // carriage return, so that the rest of the flood does not land in front of the next
        // command's reply.
        const std::size_t kept = kReplyBufferSize / 2;
        std::memmove(reply, reply + total - kept, kept);
        std::memset(reply + kept, 0, kReplyBufferSize - kept);
        total = kept;
    }
    return -1;
}

int ReplyChannel::WaitReply(char* reply, DWORD timeoutMs) {
    std::size_t total = 0;
    // A reply that came in full before the device went is still the reply.
    int length = TakeReplyBytes(reply, total);
    while (length < 0 && RxBuffer.Unread() != 0) length = TakeReplyBytes(reply, total);
    if (length >= 0) return length;
    if (NoticeLinkLost()) return 0;
    const DWORD deadline = platform::GetTickCount() + timeoutMs;
    for (;;) {
        if (m_stop.Requested() || NoticeLinkLost()) return 0;
        const DWORD now = platform::GetTickCount();
        const DWORD left = deadline - now;
        // Reached once `now` has passed the deadline, also across a wrap of the tick count.
        if (static_cast<std::int32_t>(left) <= 0) return 0;
        (void)RxEvent.Wait(left);
        RxEvent.Reset();
        // Bytes that did not fit the reply buffer in one take (a flood cut down to its newest
        // half) are taken at once: the CR may be among them, and no notification comes for them.
        do {
            length = TakeReplyBytes(reply, total);
            if (length >= 0) return length;
        } while (RxBuffer.Unread() != 0);
    }
}

int ReplyChannel::Transact(const char* command, char* reply) {
    if (!SendCommand(command, std::strlen(command), kFirstReplyWaitMs) && m_writeFailed) return 0;
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
