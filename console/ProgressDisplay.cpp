// Tick arithmetic of the progress display.
#include "console/ProgressDisplay.h"

#include <cstdio>

namespace pellorin {

std::string FormatTimeText(std::uint32_t seconds) {
    char text[24];
    if (seconds < 3600u) {
        std::snprintf(text, sizeof text, "%02u:%02u", seconds / 60u, seconds % 60u);
    } else {
        std::snprintf(text, sizeof text, "%u:%02u:%02u", seconds / 3600u, seconds / 60u % 60u,
                      seconds % 60u);
    }
    return text;
}

std::uint32_t BlocksSentThisRun(const FlashCounters& counters) {
    const std::uint32_t written = counters.WrittenBlocks.load();
    const std::uint32_t held = counters.ResumedFrom.load();
    // Before the first block of a resumed run the last block accepted is still 0.
    return written > held ? written - held : 0;
}

int ProgressDisplay::OnEraseTick() {
    std::uint8_t percent = m_counters.ProgressPercent.load();
    if (percent < 100) {
        ++percent;
        m_counters.ProgressPercent.store(percent);
    }
    m_counters.PercentShown.store(percent);
    return percent;
}

bool ProgressDisplay::OnProgramTick(std::uint32_t now) {
    std::uint8_t phase = m_counters.FlashPhase.load();
    if (phase == kPhaseProgramming) {
        // Unsigned difference: right across a wrap of the 32-bit clock.
        const std::uint32_t elapsed = (now - m_counters.FlashStartTime.load()) / 1000u;
        m_elapsed = FormatTimeText(elapsed);
        // Fewer than two whole seconds give no speed yet: the field keeps showing 0, and the
        // estimate keeps its text. Speeds above 255 are shown as they are. Only the blocks sent
        // in this run count: those a resumed run skipped took no time.
        const std::uint32_t written = m_counters.WrittenBlocks.load();
        const std::uint32_t total = m_counters.TotalBlocks.load();
        const std::uint32_t speed = elapsed > 1 ? BlocksSentThisRun(m_counters) / elapsed : 0;
        m_speed = std::to_string(speed) + " Blocks/Sec";
        if (total >= written && speed > 1) m_remain = FormatTimeText((total - written) / speed);
    }
    // Only this thread turns a finished or failed phase back to idle; a compare-exchange keeps a
    // phase that the next job's worker has already moved on.
    m_phaseEnded = kPhaseIdle;
    phase = kPhaseFinished;
    if (m_counters.FlashPhase.compare_exchange_strong(phase, kPhaseIdle)) {
        m_phaseEnded = kPhaseFinished;
        return true;
    }
    phase = kPhaseFailed;
    if (m_counters.FlashPhase.compare_exchange_strong(phase, kPhaseIdle))
        m_phaseEnded = kPhaseFailed;
    return false;
}

bool ProgressDisplay::OnProgramTimerStopped() {
    std::uint8_t phase = kPhaseFinished;
    return m_counters.FlashPhase.compare_exchange_strong(phase, kPhaseIdle);
}

std::string ProgressDisplay::PercentText() const {
    return std::to_string(m_counters.PercentShown.load()) + "%";
}

std::string ProgressDisplay::TotalBlocksText() const {
    return std::to_string(m_counters.TotalBlocksShown.load());
}

std::string ProgressDisplay::WrittenBlocksText() const {
    return std::to_string(m_counters.WrittenBlocksShown.load());
}

}  // namespace pellorin
