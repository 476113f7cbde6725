// The serial layer's backend for a port behind a network serial server (RemotePortName.h): the
// same PortBackend as a local port, over one TCP connection.
//
// rfc2217:// speaks telnet with COM port control: the line settings go to the server, which
// applies them to its serial port and answers with what it applied; Setup returns only once the
// server has confirmed all four (rate, data bits, parity, stop bits), so nothing written after it
// reaches the line at the old settings. Servers that never answer SET-CONTROL or PURGE-DATA are
// common: those two are sent without waiting. The server's line and modem state notifications
// become the port's error bits and modem lines. tcp:// passes the bytes unchanged; its line stays
// at the server's setting, taken to be the contact speed, 2400 baud 8N1, and no other can be set.
//
// A receiving thread per open port reads the connection, answers the telnet negotiation and
// queues the line's bytes; every wait of the port (the listener's event wait, Setup's wait for
// the server's answers, a blocking read) waits for that thread's news. The connection closed
// by the server (or lost) reads as a hang-up: ERROR_DEVICE_NOT_CONNECTED, as a pulled-out
// adapter gives on a local port.
#pragma once

#include <memory>

#include "SerialLib/Serial/PortBackend.h"
#include "SerialLib/Serial/RemotePortName.h"

namespace serial {

// How long an open may take in all: the name lookup, the connection and the server's first
// answers.
constexpr unsigned kRemoteOpenMs = 5000;
// How long Setup waits for the server to confirm the line settings.
constexpr unsigned kRemoteConfirmMs = 3000;

// Opens the remote port `endpoint`; on failure nothing is left open and the status says why
// (RemoteOpenFailure gives the operator's words for it).
[[nodiscard]] PortResult OpenRemotePort(const RemoteEndpoint& endpoint, bool overlapped,
                                        std::unique_ptr<PortBackend>& port);

}  // namespace serial
