// The TCP connection of a remote port over POSIX sockets, with an eventfd that wakes its waits.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "SerialLib/Serial/NameLookup.h"
#include "SerialLib/Serial/NetSocket.h"
#include "SerialLib/Serial/RemotePortName.h"
#include "SerialLib/Serial/WakeDescriptors.h"
#include "platform/Clock.h"

namespace serial {
namespace {

// An idle connection is probed after 10 s, then every 5 s; three probes unanswered end it.
constexpr int kKeepIdleS = 10;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepCount = 3;

LONG ConnectStatus(int error) {
    switch (error) {
        case ECONNREFUSED:
            return ERROR_CONNECTION_REFUSED;
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return ERROR_HOST_UNREACHABLE;
        case ENETUNREACH:
        case ENETDOWN:
        case EADDRNOTAVAIL:
        case EAFNOSUPPORT:
            return ERROR_NETWORK_UNREACHABLE;
        case ETIMEDOUT:
            return ERROR_SEM_TIMEOUT;
        default:
            return ERROR_GEN_FAILURE;
    }
}

class PosixSocket final : public NetSocket {
  public:
    PosixSocket(int fd, int wakeFd) : m_fd(fd), m_wakeFd(wakeFd) {}
    ~PosixSocket() override {
        close(m_fd);
        close(m_wakeFd);
    }

    Waited WaitReadable(Clock::time_point deadline) override {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        for (;;) {
            const int n = poll(fds, 2, platform::RealMsUntil(deadline));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return Waited::Failed;
            if (fds[1].revents) return Waited::Woken;
            if (fds[0].revents) return Waited::Readable;
            if (Clock::now() >= deadline) return Waited::TimedOut;
        }
    }

    long Receive(void* data, std::size_t length) override {
        for (;;) {
            const ssize_t n = recv(m_fd, data, length, 0);
            if (n >= 0) return static_cast<long>(n);
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
            return -2;
        }
    }

    LONG Send(const void* data, std::size_t length, Clock::time_point deadline) override {
        const auto* bytes = static_cast<const unsigned char*>(data);
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = send(m_fd, bytes + done, length - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return ERROR_DEVICE_NOT_CONNECTED;
            pollfd fds[2] = {{m_fd, POLLOUT, 0}, {m_wakeFd, POLLIN, 0}};
            const int ready = poll(fds, 2, platform::RealMsUntil(deadline));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return ERROR_DEVICE_NOT_CONNECTED;
            if (fds[1].revents) return ERROR_OPERATION_ABORTED;
            if (ready == 0 && Clock::now() >= deadline) return ERROR_TIMEOUT;
        }
        return ERROR_SUCCESS;
    }

    void Wake() override { posixport::Signal(m_wakeFd); }

  private:
    int m_fd;
    int m_wakeFd;  // written once and never drained: every later wait ends at once too
};

// Connects one address without blocking past the deadline; 0 or errno, the socket in `fd`.
int ConnectAddress(const addrinfo& address, NetSocket::Clock::time_point deadline, int& fd) {
    fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                address.ai_protocol);
    if (fd < 0) return errno;
    int error = 0;
    if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            pollfd wait = {fd, POLLOUT, 0};
            int n;
            do {
                n = poll(&wait, 1, platform::RealMsUntil(deadline));
            } while (n < 0 && errno == EINTR);
            socklen_t size = sizeof error;
            if (n == 0)
                error = ETIMEDOUT;
            else if (n < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
        }
    }
    if (error != 0) {
        close(fd);
        fd = -1;
    }
    return error;
}

}  // namespace

LONG NetSocket::Connect(const std::string& host, const std::string& port,
                        Clock::time_point deadline, std::unique_ptr<NetSocket>& socket) {
    addrinfo* addresses = nullptr;
    const LONG looked = LookUpHost(host, port, deadline, addresses);
    if (looked != ERROR_SUCCESS) return looked;
    int fd = -1, error = EHOSTUNREACH;
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        error = ConnectAddress(*address, deadline, fd);
        if (error == 0 || Clock::now() >= deadline) break;
    }
    freeaddrinfo(addresses);
    if (fd < 0) return ConnectStatus(error);

    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        close(fd);
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    socket.reset(new PosixSocket(fd, wakeFd));
    return ERROR_SUCCESS;
}

}  // namespace serial
