// The window's progress and timing texts and the arithmetic of its two timer ticks.
//
// Window thread only: the console calls the ticks from its timer handler and reads the texts when
// it refreshes its fields. The numbers come from FlashCounters, published by the worker.
#pragma once

#include <cstdint>
#include <string>

#include "console/FlashCounters.h"

namespace pellorin {

// A duration as "mm:ss", and as "h:mm:ss" from one hour on (3900 s: "1:05:00").
[[nodiscard]] std::string FormatTimeText(std::uint32_t seconds);

// The blocks sent in this run so far: the last block accepted less those the device already held
// when the run resumed.
[[nodiscard]] std::uint32_t BlocksSentThisRun(const FlashCounters& counters);

class ProgressDisplay {
  public:
    explicit ProgressDisplay(FlashCounters& counters) : m_counters(counters) {}

    // Timer 1 (erase pacing): raises ProgressPercent by one up to 100 and shows it. Returns the
    // new position of the progress bar.
    int OnEraseTick();

    // Timer 2 (programming clock), given the current timeGetTime. While programming, updates the
    // elapsed time, the speed and the estimate. Returns true when this tick must start the end
    // sound (the run has just finished); a failed run only returns the phase to idle.
    bool OnProgramTick(std::uint32_t now);

    // Timer 2 is being stopped. A run that finished while no tick came (the window thread busy
    // for the whole last second) still owes the operator its end sound: true when it must start
    // now, and the phase returns to idle as a tick would have done.
    bool OnProgramTimerStopped();

    [[nodiscard]] std::string PercentText() const;
    [[nodiscard]] std::string TotalBlocksText() const;
    [[nodiscard]] std::string WrittenBlocksText() const;
    [[nodiscard]] const std::string& ElapsedText() const { return m_elapsed; }
    [[nodiscard]] const std::string& RemainText() const { return m_remain; }
    [[nodiscard]] const std::string& SpeedText() const { return m_speed; }
    // The finished or failed phase that the last tick turned back to idle; idle when it turned
    // none.
    [[nodiscard]] std::uint8_t PhaseEnded() const { return m_phaseEnded; }

  private:
    FlashCounters& m_counters;
    std::uint8_t m_phaseEnded = kPhaseIdle;
    std::string m_elapsed = "00:00";
    std::string m_remain = "00:00";
    std::string m_speed = "0 Blocks/Sec";
};

}  // namespace pellorin
