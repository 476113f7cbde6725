// The program's millisecond clock, pauses and the scaled clock for tests.
//
// Every time-out, pause and tick count of the program goes through here. The clock runs at a
// scale (1 by default; SetClockScale changes it, and so does the environment variable
// PELLORIN_CLOCK_SCALE when PELLORIN_COM_DIR is set too, that is with simulated ports only): at
// scale 20 a program millisecond lasts 1/20 of a real one, so a 27-second silent-device case
// takes well under two seconds while every pause and time-out keeps its proportion.
#pragma once

#include <chrono>

#include "platform/Win32Types.h"

namespace platform {

// Unsigned 32-bit millisecond counts that wrap; a difference of two readings is the elapsed time.
// Both read the same monotonic clock; GetTickCount and timeGetTime are the two names the
// program's code uses for it.
[[nodiscard]] DWORD GetTickCount();
[[nodiscard]] DWORD timeGetTime();

// Pauses the calling thread for the given number of program milliseconds.
void Sleep(DWORD ms);

// The real duration of a number of program milliseconds at the current scale.
[[nodiscard]] std::chrono::steady_clock::duration RealDuration(DWORD ms);

// The real milliseconds from now until `deadline`, rounded up so that a wait never ends a
// fraction of a millisecond early and spins: 0 once it has passed, at most 1000000 (what the
// system's waits take).
[[nodiscard]] int RealMsUntil(std::chrono::steady_clock::time_point deadline);

// The scale PELLORIN_CLOCK_SCALE names; 1 when it names none. The simulated device follows it
// whatever its ports are.
[[nodiscard]] double ClockScaleFromEnvironment();

// How many program milliseconds pass in one real millisecond.
[[nodiscard]] double ClockScale();
void SetClockScale(double scale);

// Moves the tick count so that it reads `ticks` now: tests use it to run across the 32-bit wrap.
void SetTickCountForTest(DWORD ticks);

// Sets the scale for a scope and restores the previous one afterwards.
class ScopedClockScale {
  public:
    explicit ScopedClockScale(double scale) : m_previous(ClockScale()) { SetClockScale(scale); }
    ~ScopedClockScale() { SetClockScale(m_previous); }
    ScopedClockScale(const ScopedClockScale&) = delete;
    ScopedClockScale& operator=(const ScopedClockScale&) = delete;

  private:
    double m_previous;
};

}  // namespace platform
