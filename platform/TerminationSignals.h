// Requests from outside to stop, for a program that ends its work in order when asked: SIGINT,
// SIGTERM and SIGHUP (a closed terminal or SSH session) on POSIX; Ctrl+C, Ctrl+Break and the
// closing of the console window (or the user's logoff, the system's shutdown) on Windows. One
// backend file per system.
#pragma once

namespace platform {

#ifndef _WIN32
// SIGINT, SIGTERM and SIGHUP are blocked in the calling thread and so in every thread it starts
// afterwards (call it before any), and arrive only through the descriptor returned: it becomes
// readable when one arrives (a signalfd; read one signalfd_siginfo from it); -1 when none could
// be made. The caller closes it. A second signal finds them still blocked and changes nothing.
[[nodiscard]] int WatchTerminationSignals();
#endif

// The requests as one object: made before any thread starts (on POSIX it blocks the signals, see
// above), it takes every request until it goes. A request stays taken: a second one changes
// nothing. On Windows a console that is being closed waits (a few seconds at most, as long as
// the system allows) until this object has gone, so that the work ends in order first.
class TerminationWatch {
  public:
    TerminationWatch();
    ~TerminationWatch();
    TerminationWatch(const TerminationWatch&) = delete;
    TerminationWatch& operator=(const TerminationWatch&) = delete;

    // False when the requests could not be taken (they then end the program as by default).
    [[nodiscard]] bool Watching() const;
    // Waits up to `timeoutMs` real milliseconds; true when a request has arrived (a sleep of that
    // long when not watching).
    [[nodiscard]] bool Wait(int timeoutMs);
    // What the request that arrived was, as a stopped job's record says it, e.g. "stopped by the
    // operator (Ctrl+C)" or "stopped: the terminal was closed (SIGHUP)".
    [[nodiscard]] const char* Cause() const;

  private:
    bool m_watching = false;
    bool m_arrived = false;
    int m_request = 0;  // the signal (POSIX) or the console's control event (Windows)
    int m_fd = -1;      // POSIX: the signal descriptor
};

}  // namespace platform
