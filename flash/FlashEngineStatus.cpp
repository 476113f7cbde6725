// FlashEngine's status job: the bootloader is entered as an update enters it, reports its state and
// the block it would resume after, is asked (with an image named) whether it holds that image by
// its sum, and is told to leave again unless it is part-way through an update. Nothing is erased or
// written.
#include <algorithm>

#include "console/JobMode.h"
#include "flash/FlashEngine.h"

namespace pellorin {

void FlashEngine::QueryDevice(int jobMode) {
    QueryStatus(jobMode == kJobDspUpdate ? protocol::kDsp : protocol::kMcu);
}

void FlashEngine::QueryStatus(const Bootloader& device) {
    using Holds = DeviceStatus::Holds;
    m_status = {};
    const bool withImage = !m_link.ImagePath.empty();
    if (withImage && !CountImageBlocks(device.verifyAtSentinel)) {
        if (!m_link.Stop.Requested()) RefuseImage();
        return;
    }
    // Only the state query: a device in state 1 is not sent the erase it asks for.
    EntryPhase entry = FirstEntry(device);
    std::int64_t resumeBlock = 0;
    for (; entry.passes < protocol::kMaxEntryPasses && entry.state == 0 && !m_link.Stop.Requested();
         ++entry.passes) {
        QueryStatePass(device, entry, &resumeBlock);
    }
    if (m_link.Stop.Requested()) return;
    if (entry.state == 0) {
        ReportConnectFail();
        return;
    }
    m_status.Answered = true;
    m_status.State = entry.state;
    m_status.ResumeBlock = resumeBlock;

    if (withImage) {
        const std::uint32_t total = m_facts.Lines;
        const bool ready = entry.state >= protocol::kReadyState;
        if (entry.state == 2 || (ready && resumeBlock == 0)) {
            m_status.Held = Holds::Nothing;  // erasing, or erased and waiting for block 1
        } else {
            // A device ready for blocks holds those up to its resume point; any other holds
            // what its last complete update left, compared with the whole image.
            const auto lines =
                ready ? static_cast<std::uint32_t>(std::min<std::int64_t>(resumeBlock, total))
                      : total;
            unsigned sum = 0;
            if (!SumOfFirstLines(device, lines, &sum)) return;
            m_status.LinesCompared = lines;
            m_status.ImageSum = static_cast<std::uint16_t>(sum);
            const SumCheck result = CheckSumWithDevice(static_cast<int>(sum));
            m_status.DeviceSum = m_lastDeviceSum;
            if (m_link.Stop.Requested()) return;
            if (m_channel.LinkLost()) {
                m_status.Answered = false;
                ReportConnectFail();
                return;
            }
            switch (result) {
                case SumCheck::Confirmed:
                    m_status.Held = lines < total ? Holds::Head : Holds::Image;
                    break;
                case SumCheck::Failed:
                    m_status.Held = Holds::Other;
                    break;
                case SumCheck::NotChecked:
                case SumCheck::NoAnswer:
                    m_status.Held = Holds::Unknown;
                    break;
            }
        }
    }
    // A device part-way through an update stays in its bootloader, as a failed or stopped update
    // leaves it: the leave command would end that update, and the next one would erase instead
    // of resuming.
    if (entry.state >= protocol::kReadyState && resumeBlock > 0) {
        m_status.StaysInBootloader = true;
        return;
    }
    SendClosing(protocol::kLeave);
}

}  // namespace pellorin
