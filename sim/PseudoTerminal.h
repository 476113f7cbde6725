// A pseudo-terminal pair for tests, benchmarks and the simulated inverter: the slave side plays
// the serial port the tool opens, the master side plays the device at the other end of the line.
#pragma once

#include <string>

namespace sim {

class PseudoTerminal {
  public:
    // Opens a pair with the slave set raw (8 bits, no echo, no translation). Check Ok().
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    [[nodiscard]] bool Ok() const { return m_master >= 0; }
    // Device path of the slave, e.g. /dev/pts/7.
    [[nodiscard]] const std::string& SlavePath() const { return m_slavePath; }
    [[nodiscard]] int MasterFd() const { return m_master; }
    // A descriptor of the slave that this object keeps open, so the master keeps working while
    // the port under test is closed and reopened; it also reads the line settings the port set.
    [[nodiscard]] int SlaveFd() const { return m_slave; }

    // Rate (bits per second) and stop bits (1 or 2) that the slave's settings hold now.
    [[nodiscard]] unsigned SlaveBaud() const;
    [[nodiscard]] int SlaveStopBits() const;

    // Closes the master: the slave sees a hang-up, as when a USB adapter is pulled out.
    void HangUp();

    // Master-side helpers for tests: write all bytes; read what arrives within timeoutMs (real
    // milliseconds), stopping early once `until` bytes were read (0: read until the time-out).
    bool WriteMaster(const std::string& bytes);
    std::string ReadMaster(int timeoutMs, std::size_t until = 0);

    // Creates (or replaces) a symbolic link `linkPath` to the slave.
    bool LinkAs(const std::string& linkPath) const;

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};

}  // namespace sim
