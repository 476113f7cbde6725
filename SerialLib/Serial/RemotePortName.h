// Ports far away, behind a network serial server: "rfc2217://HOST:PORT" (telnet with COM port
// control: the server sets the line as a local port would) and "tcp://HOST:PORT" (raw: the bytes
// pass unchanged and the line keeps whatever speed the server gives it). HOST is a host name, an
// IPv4 address or an IPv6 address in brackets ("rfc2217://[fe80::1]:2217").
//
// The serial layer opens such a name like any device name, so everything above it (the device
// link, both windows, the command line) reaches a remote port without knowing it is one.
#pragma once

#include <optional>
#include <string>

#include "platform/Win32Types.h"

namespace serial {

enum class RemoteKind { ComPortControl, RawTcp };

struct RemoteEndpoint {
    RemoteKind kind = RemoteKind::ComPortControl;
    std::string host;  // without the brackets of an IPv6 address
    std::string port;  // the TCP port's number, 1 to 65535, as digits
};

// True when `name` begins with "rfc2217://" or "tcp://" (any case): it is meant as a remote port,
// well-formed or not.
[[nodiscard]] bool IsRemotePortName(const std::string& name);
// True for a well-formed "tcp://HOST:PORT".
[[nodiscard]] bool IsRawTcpPortName(const std::string& name);
// The parts of a well-formed remote name; nullopt otherwise (no host, a port that is no number
// from 1 to 65535, a user name or password, a path). Credentials are refused rather than used:
// neither protocol has any, and a name that carried them would show them in logs and records.
[[nodiscard]] std::optional<RemoteEndpoint> ParseRemotePortName(const std::string& name);
// Why a well-formed name does not parse, as one line that never repeats the name's user part:
// "" for a well-formed one.
[[nodiscard]] std::string RemoteNameProblem(const std::string& name);

// Statuses a remote port's Open and Setup give (the system's own values on Windows).
#ifndef _WIN32
constexpr LONG ERROR_NOT_READY = 21;
constexpr LONG ERROR_NETNAME_DELETED = 64;
constexpr LONG ERROR_BAD_NET_NAME = 67;
constexpr LONG ERROR_SEM_TIMEOUT = 121;
constexpr LONG ERROR_BUSY = 170;
constexpr LONG ERROR_CONNECTION_REFUSED = 1225;
constexpr LONG ERROR_NETWORK_UNREACHABLE = 1231;
constexpr LONG ERROR_HOST_UNREACHABLE = 1232;
#endif

// The reason, for the second line of "Cannot open serial port", that a remote port's Open gave
// status `status`.
[[nodiscard]] std::string RemoteOpenFailure(LONG status);

}  // namespace serial
