// FlashEngine before a resume: the device is asked for its sum over the blocks it says it holds:
// the tail of this image is only added to a head of this image. A device that holds another image's
// head is erased and gets the whole image in the same job.
#include <algorithm>

#include "flash/FlashEngine.h"

namespace pellorin {

FlashEngine::ResumeCheck FlashEngine::CheckResumePoint(const Bootloader& device,
                                                       std::int64_t resumeBlock) {
    const std::uint32_t total = m_facts.Lines;
    const bool pastEnd = resumeBlock >= static_cast<std::int64_t>(total);
    const auto held = static_cast<std::uint32_t>(std::min<std::int64_t>(resumeBlock, total));
    unsigned sum = 0;
    if (!SumOfFirstLines(device, held, &sum)) return ResumeCheck::Failed;
    const SumCheck result = CheckSumWithDevice(static_cast<int>(sum));
    if (m_link.Stop.Requested()) return ResumeCheck::Failed;
    if (m_channel.LinkLost()) {
        // Gone while it was being entered: as for a line lost in the entry phase.
        ReportConnectFail();
        return ResumeCheck::Failed;
    }

    const std::string name = ImageName();
    const std::string rewrite = ": erasing it and writing " + name + " from block 1";
    switch (result) {
        case SumCheck::Confirmed:
            // The run's verification so far; the DSP's verification point or the MCU's sum after
            // the last block, where the run still reaches them, have the last word.
            m_link.Verified.store(Verification::Confirmed);
            Log(pastEnd ? "The device holds all " + std::to_string(total) + " blocks of " + name +
                              ": nothing is left to send"
                        : "The device holds blocks 1 to " + std::to_string(held) + " of " + name +
                              ": resuming at block " + std::to_string(held + 1));
            return ResumeCheck::Resume;
        case SumCheck::Failed:
            Log("The device holds blocks of another image" + rewrite);
            return ResumeCheck::EraseFirst;
        case SumCheck::NotChecked:
        case SumCheck::NoAnswer:
            break;
    }
    // No sum at all. Past the image's end nothing would be sent and nothing could show that the
    // device holds this image, so it gets the whole image; otherwise the run resumes, unverified.
    if (pastEnd) {
        Log("The device reports block " + std::to_string(resumeBlock) + ", " + name + " has " +
            std::to_string(total) + " blocks, and it sends no sum" + rewrite);
        return ResumeCheck::EraseFirst;
    }
    Log("The device sends no sum: blocks 1 to " + std::to_string(held) +
        " are taken unchecked, resuming at block " + std::to_string(held + 1));
    return ResumeCheck::Resume;
}

}  // namespace pellorin
