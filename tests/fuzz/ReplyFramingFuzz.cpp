// Reply framing: the bytes of a device's answer, split at random into port notifications, some
// arriving before the system has signalled the command's write as complete, must come out of
// WaitReply exactly as a plain model of the framing says (everything that arrived once the write
// began, up to the last carriage return of the first batch that holds one), never overrunning the
// caller's 512 bytes.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "link/ReplyChannel.h"
#include "tests/support/ScriptedPort.h"

using namespace pellorin;
using testing_support::ScriptedPort;

namespace {

constexpr std::size_t kNotificationBytes = 128;  // one read of the handler: appended at once
constexpr std::size_t kRing = 511;               // what the receive buffer holds unread

// Reads the fuzzer's bytes as the script: small numbers from one byte each, then byte strings.
class Script {
  public:
    Script(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    [[nodiscard]] bool Empty() const { return m_at >= m_size; }
    std::size_t Number(std::size_t limit) {  // 0 to limit
        return Empty() ? 0 : m_data[m_at++] * (limit + 1) / 256;
    }
    std::string Bytes(std::size_t count) {
        count = std::min(count, m_size - m_at);
        std::string bytes(reinterpret_cast<const char*>(m_data + m_at), count);
        m_at += count;
        return bytes;
    }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

struct Notification {
    bool rxChar = true;
    std::string bytes;
};

// A notification adds bytes to the driver's queue and, with EV_RXCHAR, makes the handler read
// them.
void Notify(ScriptedPort& port, ReplyChannel& channel, const Notification& n) {
    port.queue += n.bytes;
    (void)channel.OnSerialMessage(n.rxChar ? EV_RXCHAR : EV_BREAK, 0);
}

// What the worker should see: each batch it takes, in order.
int ModelReply(const std::vector<std::string>& batches, std::string& reply) {
    // The worker takes what fits its buffer, up to the last CR of each take; a buffer filled
    // without a CR keeps its newest half and goes on waiting for the CR (a flood).
    std::string taken;
    for (const std::string& batch : batches) {
        for (std::size_t at = 0; at < batch.size();) {
            const std::string piece = batch.substr(at, kRing - taken.size());
            at += piece.size();
            const std::size_t cr = piece.rfind('\r');
            if (cr != std::string::npos) {
                reply = taken + piece.substr(0, cr);
                return static_cast<int>(reply.size());
            }
            taken += piece;
            if (taken.size() >= kRing) taken = taken.substr(taken.size() - kReplyBufferSize / 2);
        }
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Script input(data, size);
    ScriptedPort port;
    platform::StopSignal stop;
    ReplyChannel channel(port, stop);

    // Before the write's completion is signalled every notification reads what the driver holds;
    // any length, the receive buffer keeps the newest 511 bytes.
    std::vector<Notification> beforeCompletion;
    const std::size_t sending = input.Number(3);
    for (std::size_t i = 0; i < sending; ++i) {
        const std::size_t length = input.Number(255) * 3;  // up to 765 bytes
        beforeCompletion.push_back({true, input.Bytes(length)});
    }
    // Once it is out, notifications of at most one read each, some without EV_RXCHAR (their bytes
    // wait in the driver for the next one that reads).
    std::vector<Notification> later;
    std::size_t queued = 0;
    while (!input.Empty() && later.size() < 40) {
        Notification n;
        n.rxChar = input.Number(7) != 0;
        const std::size_t length = input.Number(kNotificationBytes);
        n.bytes = input.Bytes(std::min(length, kNotificationBytes - queued));
        queued = n.rxChar ? 0 : queued + n.bytes.size();
        later.push_back(std::move(n));
    }

    std::vector<std::string> batches;
    if (!beforeCompletion.empty()) {
        std::string early;
        for (const Notification& n : beforeCompletion) early += n.bytes;
        batches.push_back(early.size() > kRing ? early.substr(early.size() - kRing) : early);
    }
    std::string pending;
    for (const Notification& n : later) {
        pending += n.bytes;
        if (n.rxChar) batches.push_back(std::exchange(pending, std::string()));
    }
    std::string expected;
    const int expectedLength = ModelReply(batches, expected);

    // The worker sends and waits; a second thread plays the window thread, handing over the next
    // notification once the worker has taken the previous one.
    (void)channel.SendCommand("SUM\r", 4, 0);
    for (const Notification& n : beforeCompletion) Notify(port, channel, n);
    port.Complete(channel);
    std::atomic<bool> done{false};
    std::thread window([&] {
        auto takenOrDone = [&] {
            while (channel.RxBuffer.Unread() != 0 && !done.load()) std::this_thread::yield();
        };
        for (const Notification& n : later) {
            takenOrDone();
            if (done.load()) return;
            Notify(port, channel, n);
        }
        takenOrDone();
        stop.Request();
        channel.WakeForStop();
    });
    auto reply = std::make_unique<char[]>(kReplyBufferSize);  // zeroed, and exactly 512 bytes
    const int length = channel.WaitReply(reply.get(), 600000);
    done.store(true);
    window.join();

    if (length != expectedLength) std::abort();
    if (reply[kReplyBufferSize - 1] != 0) std::abort();
    if (length > 0 &&
        (reply[length] != 0 || std::memcmp(reply.get(), expected.data(), expected.size()) != 0)) {
        std::abort();
    }
    return 0;
}
