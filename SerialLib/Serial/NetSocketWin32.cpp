// The TCP connection of a remote port over Winsock: the socket's network events and a wake event
// in one wait.
// Winsock's headers in the order they need: winsock2.h before windows.h, mstcpip.h last.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
// clang-format on

#include "SerialLib/Serial/NameLookup.h"
#include "SerialLib/Serial/NetSocket.h"
#include "SerialLib/Serial/RemotePortName.h"
#include "platform/Clock.h"

namespace serial {
namespace {

// An idle connection is probed after 10 s, then every 5 s.
constexpr ULONG kKeepIdleMs = 10000;
constexpr ULONG kKeepIntervalMs = 5000;
// Send waits for room in slices this long, looking for the wake-up in between.
constexpr DWORD kSendSliceMs = 20;

// The system's waits take the same limit as poll().
DWORD MsUntil(NetSocket::Clock::time_point deadline) {
    return static_cast<DWORD>(platform::RealMsUntil(deadline));
}

bool StartWinsock() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

LONG ConnectStatus(int error) {
    switch (error) {
        case WSAECONNREFUSED:
            return ERROR_CONNECTION_REFUSED;
        case WSAEHOSTUNREACH:
        case WSAEHOSTDOWN:
            return ERROR_HOST_UNREACHABLE;
        case WSAENETUNREACH:
        case WSAENETDOWN:
        case WSAEADDRNOTAVAIL:
        case WSAEAFNOSUPPORT:
            return ERROR_NETWORK_UNREACHABLE;
        case WSAETIMEDOUT:
            return ERROR_SEM_TIMEOUT;
        default:
            return ERROR_GEN_FAILURE;
    }
}

class WinsockSocket final : public NetSocket {
  public:
    WinsockSocket(SOCKET socket, HANDLE socketEvent, HANDLE wakeEvent)
        : m_socket(socket), m_socketEvent(socketEvent), m_wakeEvent(wakeEvent) {}
    ~WinsockSocket() override {
        closesocket(m_socket);
        CloseHandle(m_socketEvent);
        CloseHandle(m_wakeEvent);
    }

    Waited WaitReadable(Clock::time_point deadline) override {
        const HANDLE handles[2] = {m_wakeEvent, m_socketEvent};
        const DWORD result = WaitForMultipleObjects(2, handles, FALSE, MsUntil(deadline));
        if (result == WAIT_OBJECT_0) return Waited::Woken;
        if (result == WAIT_OBJECT_0 + 1) {
            // Takes the network events, which resets the socket's event; a receive that does
            // not take everything makes Winsock signal it again.
            WSANETWORKEVENTS events{};
            (void)WSAEnumNetworkEvents(m_socket, m_socketEvent, &events);
            return Waited::Readable;
        }
        if (result == WAIT_TIMEOUT) return Waited::TimedOut;
        return Waited::Failed;
    }

    long Receive(void* data, std::size_t length) override {
        const int n = recv(m_socket, static_cast<char*>(data), static_cast<int>(length), 0);
        if (n >= 0) return n;
        return WSAGetLastError() == WSAEWOULDBLOCK ? -1 : -2;
    }

    LONG Send(const void* data, std::size_t length, Clock::time_point deadline) override {
        const char* bytes = static_cast<const char*>(data);
        std::size_t done = 0;
        while (done < length) {
            const int n = send(m_socket, bytes + done, static_cast<int>(length - done), 0);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)
                return ERROR_DEVICE_NOT_CONNECTED;
            // The socket's buffer is full: wait for room a slice at a time.
            if (WaitForSingleObject(m_wakeEvent, 0) == WAIT_OBJECT_0)
                return ERROR_OPERATION_ABORTED;
            if (Clock::now() >= deadline) return ERROR_TIMEOUT;
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(m_socket, &writable);
            timeval slice = {0, static_cast<long>(kSendSliceMs) * 1000};
            (void)select(0, nullptr, &writable, nullptr, &slice);
        }
        return ERROR_SUCCESS;
    }

    void Wake() override { SetEvent(m_wakeEvent); }

  private:
    SOCKET m_socket;
    HANDLE m_socketEvent;
    HANDLE m_wakeEvent;  // manual reset, set once and never reset
};

// Connects one address without blocking past the deadline; 0 or the Winsock error.
int ConnectAddress(const addrinfo& address, NetSocket::Clock::time_point deadline, SOCKET& out) {
    out = INVALID_SOCKET;
    const SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) return WSAGetLastError();
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    int error = 0;
    if (connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == SOCKET_ERROR) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            const DWORD ms = MsUntil(deadline);
            timeval limit = {static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
            const int n = select(0, nullptr, &writable, &failed, &limit);
            if (n == 0) {
                error = WSAETIMEDOUT;
            } else if (n < 0) {
                error = WSAGetLastError();
            } else {
                int size = sizeof error;
                error = 0;
                if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) !=
                    0)
                    error = WSAGetLastError();
            }
        }
    }
    if (error != 0) {
        closesocket(s);
        return error;
    }
    out = s;
    return 0;
}

}  // namespace

LONG NetSocket::Connect(const std::string& host, const std::string& port,
                        Clock::time_point deadline, std::unique_ptr<NetSocket>& socket) {
    if (!StartWinsock()) return ERROR_NETWORK_UNREACHABLE;
    addrinfo* addresses = nullptr;
    const LONG looked = LookUpHost(host, port, deadline, addresses);
    if (looked != ERROR_SUCCESS) return looked;
    SOCKET s = INVALID_SOCKET;
    int error = WSAEHOSTUNREACH;
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        error = ConnectAddress(*address, deadline, s);
        if (error == 0 || Clock::now() >= deadline) break;
    }
    freeaddrinfo(addresses);
    if (s == INVALID_SOCKET) return ConnectStatus(error);

    const BOOL on = TRUE;
    (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    (void)setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    tcp_keepalive keepAlive{1, kKeepIdleMs, kKeepIntervalMs};
    DWORD returned = 0;
    (void)WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned,
                   nullptr, nullptr);
    const HANDLE socketEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HANDLE wakeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (socketEvent == nullptr || wakeEvent == nullptr ||
        WSAEventSelect(s, socketEvent, FD_READ | FD_CLOSE) != 0) {
        const LONG status = static_cast<LONG>(GetLastError());
        if (socketEvent != nullptr) CloseHandle(socketEvent);
        if (wakeEvent != nullptr) CloseHandle(wakeEvent);
        closesocket(s);
        return status != 0 ? status : ERROR_GEN_FAILURE;
    }
    socket.reset(new WinsockSocket(s, socketEvent, wakeEvent));
    return ERROR_SUCCESS;
}

}  // namespace serial
