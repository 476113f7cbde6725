// Scaled monotonic clock. Program time is kept as an origin (real instant, program milliseconds)
// plus the scaled real time since that origin; a change of scale starts a new origin, so program
// time never jumps backwards.
#include "platform/Clock.h"

#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace platform {

double ClockScaleFromEnvironment() {
    if (const char* text = std::getenv("PELLORIN_CLOCK_SCALE")) {
        char* end = nullptr;
        const double value = std::strtod(text, &end);
        if (end != text && std::isfinite(value) && value > 0.0) return value;
    }
    return 1.0;
}

namespace {

using Steady = std::chrono::steady_clock;

struct ClockState {
    std::mutex mutex;
    Steady::time_point originReal = Steady::now();
    double originMs = 0.0;  // program milliseconds at originReal
    double scale = 1.0;

    ClockState() {
        // Only with simulated ports: a variable left over in an operator's environment must not
        // shorten the time-outs a real device is given.
        const char* ports = std::getenv("PELLORIN_COM_DIR");
        if (ports != nullptr && ports[0] != '\0') scale = ClockScaleFromEnvironment();
    }

    double NowMsLocked(Steady::time_point now) const {
        const std::chrono::duration<double, std::milli> real = now - originReal;
        return originMs + real.count() * scale;
    }
};

ClockState& State() {
    static ClockState state;
    return state;
}

DWORD ReadTicks() {
    ClockState& state = State();
    std::lock_guard lock(state.mutex);
    const double ms = state.NowMsLocked(Steady::now());
    return static_cast<DWORD>(static_cast<std::uint64_t>(ms) & 0xFFFFFFFFull);
}

}  // namespace

DWORD GetTickCount() { return ReadTicks(); }
DWORD timeGetTime() { return ReadTicks(); }

void Sleep(DWORD ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(RealDuration(ms));
}

std::chrono::steady_clock::duration RealDuration(DWORD ms) {
    const double scale = ClockScale();
    const std::chrono::duration<double, std::milli> real(static_cast<double>(ms) / scale);
    return std::chrono::duration_cast<Steady::duration>(real);
}

int RealMsUntil(Steady::time_point deadline) {
    const auto left = deadline - Steady::now();
    if (left <= Steady::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 1000000 ? 1000000 : static_cast<int>(ms);
}

double ClockScale() {
    ClockState& state = State();
    std::lock_guard lock(state.mutex);
    return state.scale;
}

void SetClockScale(double scale) {
    if (!(scale > 0.0) || !std::isfinite(scale)) return;
    ClockState& state = State();
    std::lock_guard lock(state.mutex);
    const auto now = Steady::now();
    state.originMs = state.NowMsLocked(now);
    state.originReal = now;
    state.scale = scale;
}

void SetTickCountForTest(DWORD ticks) {
    ClockState& state = State();
    std::lock_guard lock(state.mutex);
    state.originReal = Steady::now();
    state.originMs = static_cast<double>(ticks);
}

}  // namespace platform
