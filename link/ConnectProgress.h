// Where a job stands while it connects, before the erase or the first block: which step, which
// try of it, and whether the device confirmed the speed. A silent device takes minutes to give
// up, and a front end shows these so that the operator is not left looking at nothing.
//
// Threads: the worker writes, any thread reads; each number is read whole.
#pragma once

#include <atomic>

namespace pellorin {

enum class ConnectStep : int {
    None,   // not connecting (no job, or the job is past its connection)
    Open,   // opening the port
    Speed,  // the speed command at 2400 baud, until its acknowledgement
    Entry,  // the bootloader's entry and state queries
};

// Whether the device acknowledged the speed command ("^D006ACK").
enum class SpeedReply : int {
    NotAsked,      // no speed command was sent (no job yet, a raw TCP port, no speed chosen)
    Confirmed,     // it acknowledged: the line runs at the speed asked
    NotConfirmed,  // it never did: the port was moved all the same, the device may not have been
};

class ConnectProgress {
  public:
    // Worker: a job starts.
    void Reset() {
        m_step.store(static_cast<int>(ConnectStep::None));
        m_attempt.store(0);
        m_attempts.store(0);
        m_speed.store(static_cast<int>(SpeedReply::NotAsked));
    }
    // Worker: a step begins that makes at most `attempts` tries (0: not counted).
    void Begin(ConnectStep step, int attempts) {
        m_attempt.store(0);
        m_attempts.store(attempts);
        m_step.store(static_cast<int>(step));
    }
    // Worker: the next try of the step goes out.
    void NextAttempt() { m_attempt.fetch_add(1); }
    void End() { m_step.store(static_cast<int>(ConnectStep::None)); }
    void SetSpeedReply(SpeedReply reply) { m_speed.store(static_cast<int>(reply)); }

    [[nodiscard]] ConnectStep Step() const { return static_cast<ConnectStep>(m_step.load()); }
    [[nodiscard]] int Attempt() const { return m_attempt.load(); }
    [[nodiscard]] int Attempts() const { return m_attempts.load(); }
    [[nodiscard]] SpeedReply Speed() const { return static_cast<SpeedReply>(m_speed.load()); }

  private:
    std::atomic<int> m_step{static_cast<int>(ConnectStep::None)};
    std::atomic<int> m_attempt{0};
    std::atomic<int> m_attempts{0};
    std::atomic<int> m_speed{static_cast<int>(SpeedReply::NotAsked)};
};

}  // namespace pellorin
