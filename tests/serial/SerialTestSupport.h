// Shared helpers of the Linux serial port tests: a fake line driver, a port folder for
// PELLORIN_COM_DIR, and running a check in a child process as an unprivileged user.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "SerialLib/Serial/LineDriver.h"

namespace serialtest {

// Passes termios calls to the kernel but remembers the framing (data bits, parity) that was
// asked for, as a real UART would keep it; error counters and modem lines are set by the test.
class FakeLineDriver : public LineDriver {
  public:
    static constexpr tcflag_t FRAMING = CSIZE | PARENB | PARODD | CMSPAR;

    int GetAttributes(int fd, termios& settings) override {
        if (tcgetattr(fd, &settings) != 0) return errno;
        std::lock_guard lock(m_mutex);
        if (m_haveFraming) settings.c_cflag = (settings.c_cflag & ~FRAMING) | m_framing;
        return 0;
    }
    int SetAttributes(int fd, const termios& settings) override {
        if (tcsetattr(fd, TCSANOW, &settings) != 0) return errno;
        std::lock_guard lock(m_mutex);
        m_framing = settings.c_cflag & FRAMING & ~m_refused;
        m_haveFraming = true;
        return 0;
    }
    int GetCounters(int, LineCounters& counters) override {
        std::lock_guard lock(m_mutex);
        if (m_counterError) return m_counterError;
        counters = m_counters;
        return 0;
    }
    int GetModemLines(int, int& lines) override {
        std::lock_guard lock(m_mutex);
        lines = m_modemLines;
        return 0;
    }
    int SetBreak(int, bool on) override {
        std::lock_guard lock(m_mutex);
        m_breakCalls.push_back(on);
        return 0;
    }
    int RequestLowLatency(int) override {
        std::lock_guard lock(m_mutex);
        ++m_lowLatencyRequests;
        return EINVAL;  // like a driver that does not know the flag
    }
    int GetPortType(int, int& type) override {
        type = 4;
        return 0;
    }

    // Test controls.
    template <typename Change>
    void Counters(Change change) {
        std::lock_guard lock(m_mutex);
        change(m_counters);
    }
    void SetCounterError(int error) {
        std::lock_guard lock(m_mutex);
        m_counterError = error;
    }
    void SetModemLines(int lines) {
        std::lock_guard lock(m_mutex);
        m_modemLines = lines;
    }
    // Framing bits the "driver" will not apply.
    void Refuse(tcflag_t bits) {
        std::lock_guard lock(m_mutex);
        m_refused = bits;
    }
    std::vector<bool> BreakCalls() {
        std::lock_guard lock(m_mutex);
        return m_breakCalls;
    }
    int LowLatencyRequests() {
        std::lock_guard lock(m_mutex);
        return m_lowLatencyRequests;
    }

  private:
    std::mutex m_mutex;
    bool m_haveFraming = false;
    tcflag_t m_framing = 0;
    tcflag_t m_refused = 0;
    LineCounters m_counters;
    int m_counterError = 0;
    int m_modemLines = 0;
    std::vector<bool> m_breakCalls;
    int m_lowLatencyRequests = 0;
};

// A temporary folder that PELLORIN_COM_DIR points at while the object lives.
class ComDirectory {
  public:
    ComDirectory() {
        char pattern[] = "/tmp/pellorin-com-XXXXXX";
        m_path = mkdtemp(pattern);
        setenv("PELLORIN_COM_DIR", m_path.c_str(), 1);
    }
    ~ComDirectory() {
        unsetenv("PELLORIN_COM_DIR");
        std::error_code error;
        std::filesystem::remove_all(m_path, error);
    }
    std::string Port(int number) const { return m_path + "/com" + std::to_string(number); }
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

// Runs `check` in a child process (as user "nobody" when the tests run as root, so that the
// kernel's own exclusivity is in force) and returns its exit status; -1 when it did not exit.
inline int InChildProcess(const std::function<int()>& check, bool unprivileged) {
    const pid_t child = fork();
    if (child == 0) {
        if (unprivileged && geteuid() == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
        }
        _exit(check());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace serialtest
