// Test rig: real network serial servers on the loopback address in front of a pseudo-terminal
// (the simulated inverter's line): Debian's ser2net with a configuration written per test, and
// sredird. Each finds a free TCP port, is started by the
// fixture and ended by its destructor, so no server outlives its test.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A TCP port on 127.0.0.1 that nothing listens on now.
int FreeTcpPort();

// One served line of ser2net.
struct Ser2netLine {
    std::string device;      // the pseudo-terminal's slave
    bool rfc2217 = true;     // telnet with COM port control; false: raw TCP
    bool chardelay = false;  // ser2net's default is true: it gathers bytes before sending them
    int tcpPort = 0;         // 0: a free one is found
};

class Ser2net {
  public:
    // Starts ser2net (in the foreground, no UUCP locks) serving every line, and waits until
    // each accepts connections.
    explicit Ser2net(std::vector<Ser2netLine> lines);
    explicit Ser2net(const Ser2netLine& line) : Ser2net(std::vector<Ser2netLine>{line}) {}
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    [[nodiscard]] bool Running() const { return m_pid > 0 && m_ready; }
    // "rfc2217://127.0.0.1:PORT" or "tcp://127.0.0.1:PORT" of line `index`.
    [[nodiscard]] std::string Url(std::size_t index = 0) const;
    [[nodiscard]] int TcpPort(std::size_t index = 0) const { return m_lines.at(index).tcpPort; }
    // Ends the server at once (SIGKILL): every connection drops as a broken network would.
    void Kill();
    // True when, within `timeoutMs` real ms, ser2net has line `index`'s device open: it opens it
    // for a client it serves, after it has counted the port as in use.
    [[nodiscard]] bool WaitUntilServing(std::size_t index, int timeoutMs) const;

  private:
    std::vector<Ser2netLine> m_lines;
    std::string m_config;
    pid_t m_pid = -1;
    bool m_ready = false;
};

// sredird, Debian's independent RFC 2217 server, which an inetd starts per connection: here the
// fixture's own small inetd on 127.0.0.1 runs it for one client at a time, over `device`.
class Sredird {
  public:
    explicit Sredird(const std::string& device);
    ~Sredird();
    Sredird(const Sredird&) = delete;
    Sredird& operator=(const Sredird&) = delete;

    [[nodiscard]] bool Running() const { return m_port > 0; }
    [[nodiscard]] std::string Url() const;

  private:
    int m_port = 0;
    int m_stopFd = -1;
    std::atomic<pid_t> m_server{-1};  // the sredird serving the client now
    std::thread m_thread;             // the inetd
    std::string m_lockFile;
};

// A relay on 127.0.0.1 in front of an RFC 2217 server that drops the server's answers with the
// given codes (105 for SET-CONTROL, 112 for PURGE-DATA), as many servers never send them. One
// client; runs on a thread of its own until destroyed.
class AnswerDroppingRelay {
  public:
    AnswerDroppingRelay(int serverPort, std::vector<unsigned char> droppedCodes);
    ~AnswerDroppingRelay();
    AnswerDroppingRelay(const AnswerDroppingRelay&) = delete;
    AnswerDroppingRelay& operator=(const AnswerDroppingRelay&) = delete;

    [[nodiscard]] std::string Url() const;
    // How many answers it dropped.
    [[nodiscard]] int Dropped() const { return m_dropped.load(); }

  private:
    void Run(int listener);
    int m_serverPort;
    std::vector<unsigned char> m_codes;
    int m_port = 0;
    int m_stopFd = -1;
    std::atomic<int> m_dropped{0};
    std::thread m_thread;
};

// True when something accepts connections on 127.0.0.1:port within `timeoutMs` real ms.
bool WaitForListener(int port, int timeoutMs);

}  // namespace testing_support
