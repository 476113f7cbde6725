// One TCP connection of a remote port, over POSIX sockets (NetSocketPosix.cpp) or Winsock
// (NetSocketWin32.cpp): connecting within a time limit, sending, waiting for what arrives, and a
// wake-up that ends every wait when the port closes.
//
// Threading: one thread receives (WaitReadable, Receive) while others send (Send holds no lock of
// its own: RemotePort sends under its lock); Wake may come from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "platform/Win32Types.h"

namespace serial {

class NetSocket {
  public:
    using Clock = std::chrono::steady_clock;

    virtual ~NetSocket() = default;
    NetSocket(const NetSocket&) = delete;
    NetSocket& operator=(const NetSocket&) = delete;

    // Looks the host up and connects to the first of its addresses that takes the connection,
    // all before `deadline` (real time). On success the connection sends each write at once
    // (TCP_NODELAY) and probes an idle peer (keep-alive). The status on failure:
    // ERROR_BAD_NET_NAME (no such host), ERROR_CONNECTION_REFUSED, ERROR_HOST_UNREACHABLE,
    // ERROR_NETWORK_UNREACHABLE, ERROR_SEM_TIMEOUT (the deadline passed), or another code.
    [[nodiscard]] static LONG Connect(const std::string& host, const std::string& port,
                                      Clock::time_point deadline,
                                      std::unique_ptr<NetSocket>& socket);

    enum class Waited { Readable, Woken, TimedOut, Failed };
    // Waits until bytes (or the peer's close) can be received, Wake() is called, or `deadline`.
    [[nodiscard]] virtual Waited WaitReadable(Clock::time_point deadline) = 0;
    // Takes what has arrived: the count (> 0), 0 when the peer has closed, -1 when nothing is
    // there now; -2 on failure (the connection is gone).
    [[nodiscard]] virtual long Receive(void* data, std::size_t length) = 0;
    // Sends all `length` bytes, in one call to the system unless its buffer is full; waits for
    // room until `deadline`. ERROR_SUCCESS, ERROR_TIMEOUT, ERROR_OPERATION_ABORTED (woken), or
    // ERROR_DEVICE_NOT_CONNECTED (the connection is gone).
    [[nodiscard]] virtual LONG Send(const void* data, std::size_t length,
                                    Clock::time_point deadline) = 0;
    // Ends the current and every later wait (also Send's) at once.
    virtual void Wake() = 0;

  protected:
    NetSocket() = default;
};

}  // namespace serial
