// The numbers a running update publishes and the window reads.
//
// The worker writes them, the window thread reads them on its timer ticks and formats the texts
// itself, so no string is ever shared between the two threads. The window thread writes back
// only FlashPhase (to 0, after the end of a run) and ProgressPercent (erase pacing).
#pragma once

#include <atomic>
#include <cstdint>

namespace pellorin {

enum FlashPhaseValue : std::uint8_t {
    kPhaseIdle = 0,
    kPhaseProgramming = 1,
    kPhaseFinished = 2,
    kPhaseFailed = 4,
};

struct FlashCounters {
    std::atomic<std::uint32_t> TotalBlocks{0};    // lines of the image
    std::atomic<std::uint32_t> WrittenBlocks{0};  // number of the last block the device accepted
    // The blocks the device already held when programming began (a resumed run): they are not
    // sent in this run, so neither the speed nor the time left counts them.
    std::atomic<std::uint32_t> ResumedFrom{0};
    std::atomic<std::uint8_t> FlashPhase{kPhaseIdle};
    std::atomic<std::uint32_t> FlashStartTime{0};  // timeGetTime when programming began
    std::atomic<std::uint32_t> EraseStartTime{0};  // timeGetTime when the erase began
    std::atomic<std::uint8_t> ProgressPercent{0};  // erase pseudo-progress, 0 to 100

    // What the three number fields show: TotalBlocksText, WrittenBlocksText and PercentText
    // (followed by "%"). They change at their own moments, not with the counters above.
    std::atomic<std::uint32_t> TotalBlocksShown{0};
    std::atomic<std::uint32_t> WrittenBlocksShown{0};
    std::atomic<std::uint32_t> PercentShown{0};

    // The progress bar's position. The worker moves it after every accepted block without
    // waiting for the window (a block every few milliseconds must not cost a round trip to the
    // window thread); the console shows it whenever it refreshes, and Console::SetProgressPos
    // sets it too.
    std::atomic<std::int32_t> BarPosition{0};
};

}  // namespace pellorin
