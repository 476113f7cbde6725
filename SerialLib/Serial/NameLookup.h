// The host name lookup of a remote port, bounded in time: the system's resolver may take far
// longer than a port's open may, so it runs on a thread of its own that is left behind when the
// deadline passes.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#endif

#include <chrono>
#include <string>

#include "platform/Win32Types.h"

namespace serial {

// The TCP addresses of host:port (freed with freeaddrinfo), before `deadline`: ERROR_SUCCESS,
// ERROR_BAD_NET_NAME (no such host) or ERROR_SEM_TIMEOUT (no answer in time).
[[nodiscard]] LONG LookUpHost(const std::string& host, const std::string& port,
                              std::chrono::steady_clock::time_point deadline, addrinfo*& addresses);

}  // namespace serial
