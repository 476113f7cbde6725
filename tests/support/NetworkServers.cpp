// The network serial servers of the tests.
#include "tests/support/NetworkServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace testing_support {
namespace {

constexpr int kStartMs = 10000;

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Starts a program without forking this (threaded) process: posix_spawn, its output to
// /dev/null (the servers' chatter is no part of the test's output), or to `inputOutput` both ways
// when that is a descriptor.
pid_t Spawn(const std::vector<std::string>& arguments, int inputOutput = -1) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (inputOutput >= 0) {
        posix_spawn_file_actions_adddup2(&actions, inputOutput, STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, inputOutput, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void End(pid_t& pid, int signalNumber) {
    if (pid <= 0) return;
    kill(pid, signalNumber);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

}  // namespace

int FreeTcpPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        socklen_t size = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool WaitForListener(int port, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(port);
        const bool connected =
            connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (connected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

Ser2net::Ser2net(std::vector<Ser2netLine> lines) : m_lines(std::move(lines)) {
    char pattern[] = "/tmp/pellorin-ser2net-XXXXXX.yaml";
    const int fd = mkstemps(pattern, 5);
    if (fd < 0) return;
    close(fd);
    m_config = pattern;
    std::ofstream config(m_config);
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        Ser2netLine& line = m_lines[i];
        if (line.tcpPort == 0) line.tcpPort = FreeTcpPort();
        config << "connection: &line" << i << "\n"
               << "  accepter: " << (line.rfc2217 ? "telnet(rfc2217),tcp" : "tcp") << ",127.0.0.1,"
               << line.tcpPort << "\n"
               << "  connector: serialdev," << line.device << ",2400n81,local\n"
               << "  options:\n"
               << "    kickolduser: false\n"
               << "    chardelay: " << (line.chardelay ? "true" : "false") << "\n";
    }
    config.close();
    m_pid = Spawn({"/usr/sbin/ser2net", "-n", "-u", "-c", m_config, "-P", m_config + ".pid"});
    m_ready = true;
    for (const Ser2netLine& line : m_lines)
        m_ready = m_ready && WaitForListener(line.tcpPort, kStartMs);
}

Ser2net::~Ser2net() {
    End(m_pid, SIGTERM);
    if (!m_config.empty()) {
        std::remove(m_config.c_str());
        std::remove((m_config + ".pid").c_str());
    }
}

std::string Ser2net::Url(std::size_t index) const {
    const Ser2netLine& line = m_lines.at(index);
    return std::string(line.rfc2217 ? "rfc2217" : "tcp") +
           "://127.0.0.1:" + std::to_string(line.tcpPort);
}

void Ser2net::Kill() { End(m_pid, SIGKILL); }

bool Ser2net::WaitUntilServing(std::size_t index, int timeoutMs) const {
    std::error_code error;
    const std::filesystem::path device =
        std::filesystem::canonical(m_lines.at(index).device, error);
    const std::filesystem::path descriptors = "/proc/" + std::to_string(m_pid) + "/fd";
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_pid > 0 && !error) {
        for (const auto& entry : std::filesystem::directory_iterator(descriptors, error)) {
            std::error_code unreadable;
            if (std::filesystem::read_symlink(entry.path(), unreadable) == device) return true;
        }
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

Sredird::Sredird(const std::string& device) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (listener >= 0) close(listener);
        return;
    }
    m_port = ntohs(address.sin_port);
    m_lockFile = "/tmp/pellorin-sredird-" + std::to_string(m_port) + ".lock";
    m_stopFd = eventfd(0, EFD_CLOEXEC);
    // The inetd: one connection at a time, each served by a sredird of its own.
    m_thread = std::thread([this, listener, device] {
        for (;;) {
            pollfd fds[2] = {{listener, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno == EINTR) continue;
            if (fds[1].revents) break;
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            pid_t server = Spawn({"/usr/sbin/sredird", "5", device, m_lockFile}, client);
            close(client);
            m_server.store(server);
            int status = 0;
            while (server > 0 && waitpid(server, &status, 0) < 0 && errno == EINTR) {
            }
            m_server.store(-1);
        }
        close(listener);
    });
}

Sredird::~Sredird() {
    if (m_stopFd < 0) return;
    const std::uint64_t one = 1;
    (void)write(m_stopFd, &one, sizeof one);
    if (const pid_t server = m_server.load(); server > 0) kill(server, SIGTERM);
    m_thread.join();
    close(m_stopFd);
    std::remove(m_lockFile.c_str());
}

std::string Sredird::Url() const { return "rfc2217://127.0.0.1:" + std::to_string(m_port); }

AnswerDroppingRelay::AnswerDroppingRelay(int serverPort, std::vector<unsigned char> droppedCodes)
    : m_serverPort(serverPort), m_codes(std::move(droppedCodes)) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t size = sizeof address;
    bind(listener, reinterpret_cast<sockaddr*>(&address), size);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    m_port = ntohs(address.sin_port);
    m_stopFd = eventfd(0, EFD_CLOEXEC);
    m_thread = std::thread([this, listener] { Run(listener); });
}

AnswerDroppingRelay::~AnswerDroppingRelay() {
    const std::uint64_t one = 1;
    (void)write(m_stopFd, &one, sizeof one);
    m_thread.join();
    close(m_stopFd);
}

std::string AnswerDroppingRelay::Url() const {
    return "rfc2217://127.0.0.1:" + std::to_string(m_port);
}

void AnswerDroppingRelay::Run(int listener) {
    pollfd waitClient[2] = {{listener, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    if (poll(waitClient, 2, -1) <= 0 || waitClient[1].revents) {
        close(listener);
        return;
    }
    const int client = accept(listener, nullptr, nullptr);
    close(listener);
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(m_serverPort);
    if (client < 0 || connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (client >= 0) close(client);
        close(server);
        return;
    }
    std::string pending;  // the server's bytes from an IAC SB on, until its IAC SE
    for (;;) {
        pollfd fds[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0 || fds[2].revents) break;
        unsigned char buffer[4096];
        if (fds[0].revents) {
            const ssize_t n = read(client, buffer, sizeof buffer);
            if (n <= 0 || write(server, buffer, static_cast<std::size_t>(n)) != n) break;
        }
        if (fds[1].revents) {
            const ssize_t n = read(server, buffer, sizeof buffer);
            if (n <= 0) break;
            std::string out;
            for (ssize_t i = 0; i < n; ++i) {
                const char c = static_cast<char>(buffer[i]);
                if (pending.empty()) {
                    // A subnegotiation starts at IAC SB (an IAC IAC in data is not one).
                    if (c == '\xFF' && i + 1 < n && buffer[i + 1] == 250) {
                        pending.push_back(c);
                    } else {
                        out.push_back(c);
                        if (c == '\xFF' && i + 1 < n) out.push_back(static_cast<char>(buffer[++i]));
                    }
                    continue;
                }
                pending.push_back(c);
                const std::size_t size = pending.size();
                if (size >= 2 && pending[size - 2] == '\xFF' && pending[size - 1] == '\xF0' &&
                    (size < 4 || pending[size - 3] != '\xFF')) {
                    const auto code =
                        static_cast<unsigned char>(pending.size() > 3 ? pending[3] : 0);
                    if (std::find(m_codes.begin(), m_codes.end(), code) != m_codes.end())
                        ++m_dropped;
                    else
                        out += pending;
                    pending.clear();
                }
            }
            if (!out.empty() &&
                write(client, out.data(), out.size()) != static_cast<ssize_t>(out.size()))
                break;
        }
    }
    close(client);
    close(server);
}

}  // namespace testing_support
