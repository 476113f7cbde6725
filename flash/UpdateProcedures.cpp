// The DSP and MCU update procedures: entry and erase, block-by-block programming with an
// acknowledgement for each block, verification and leave. Strictly stop-and-wait: one block is
// outstanding at a time and the next goes out as soon as the previous one is acknowledged.
#include <algorithm>
#include <cstdio>

#include "flash/ProcedureRules.h"

namespace pellorin {
namespace {

using namespace procedure;

// Said instead of "Verify flash data ok!" when the device answered SUM without its sum.
constexpr const char* kSumNotChecked =
    "Verify flash data not checked: the device did not send its sum";

}  // namespace

FlashEngine::EntryPhase FlashEngine::FirstEntry(const DeviceProfile& device) const {
    EntryPhase entry;
    std::snprintf(entry.command, sizeof entry.command, "%s",
                  device.firstEntry(m_link.DeviceIndex + 1).c_str());
    return entry;
}

void FlashEngine::QueryStatePass(const DeviceProfile& device, EntryPhase& entry,
                                 std::int64_t* resumeBlock) {
    if (entry.passes == 0)
        m_link.Connecting.Begin(ConnectStep::Entry, kMaxEntryPasses * 2 * kQueryTries);
    m_channel.ReplyTimeout = kQueryTimeoutMs;
    entry.state = (this->*device.queryState)(entry.command, resumeBlock);
    if (entry.state == 0) {
        std::snprintf(entry.command, sizeof entry.command, "%s", device.secondEntry);
        entry.state = (this->*device.queryState)(entry.command, resumeBlock);
    }
    // Only a device ready for blocks names a block to resume after: the number in a reply of
    // state 1 or 2 (ST2_0150 while erasing) is left over from an earlier run, and the flash it
    // counted is being erased.
    if (entry.state < kReadyState) *resumeBlock = 0;
    m_channel.ReplyTimeout = kStageTimeoutMs;
}

int FlashEngine::RunEntryPasses(const DeviceProfile& device, EntryPhase& entry,
                                std::int64_t* resumeBlock) {
    for (; entry.passes < kMaxEntryPasses && entry.state < kReadyState; ++entry.passes) {
        if (m_link.Stop.Requested()) break;
        if (entry.state == 0) {
            QueryStatePass(device, entry, resumeBlock);
        } else if (entry.state == 1) {
            std::snprintf(entry.command, sizeof entry.command, ":efh\r");
            m_channel.ReplyTimeout = device.eraseTimeoutMs;
            if (m_channel.TransactExpect(entry.command, "ST2")) {
                entry.state = 2;
                BeginErase(kErasePacingMs);
                entry.eraseStarted = true;
                // The erase wipes whatever a former run stored: programming starts at block 1.
                *resumeBlock = 0;
            }
            m_channel.ReplyTimeout = device.afterEraseTimeoutMs;
        } else if (entry.state == 2) {
            std::snprintf(entry.command, sizeof entry.command, ":st\r");
            if (m_channel.TransactExpect(entry.command, "ST3")) entry.state = kReadyState;
        }
        // A negative state sends nothing; the pass still counts.
    }
    m_channel.ReplyTimeout = kStageTimeoutMs;
    // An erase that never finished must not leave its pacing timer running on.
    if (entry.state < kReadyState && entry.eraseStarted && !m_console.StopRequested()) {
        m_console.StopTimer(kEraseTimer);
    }
    return entry.state;
}

void FlashEngine::PublishWrittenBlock(std::uint32_t block) {
    m_counters.WrittenBlocks.store(block);
    m_counters.BarPosition.store(static_cast<std::int32_t>(block & 0x7FFFFFFF));
    m_counters.WrittenBlocksShown.store(block);
    // The image may have changed since it was counted: never divide by zero, never pass 100%.
    const std::uint64_t total = m_counters.TotalBlocks.load();
    const std::uint64_t percent =
        total == 0 ? 100 : std::min<std::uint64_t>(block * 100ull / total, 100);
    m_counters.PercentShown.store(static_cast<std::uint32_t>(percent));
}

void FlashEngine::Fail(const std::string& line, JobOutcome outcome) {
    m_link.Outcome.store(outcome);
    if (outcome == JobOutcome::VerifyFail) m_link.Verified.store(Verification::Failed);
    m_image.Close();
    SetPhase(kPhaseFailed);
    Log(line);
}

void FlashEngine::SendUpToThreeTimes(const char* command, const char* expected) {
    for (int call = 0; call < 3 && !m_link.Stop.Requested(); ++call) {
        if (m_channel.TransactExpect(command, expected)) return;
    }
}

void FlashEngine::RefuseImage() {
    m_link.Outcome.store(JobOutcome::ImageRefused);
    char reply[kReplyBufferSize] = {};
    (void)m_channel.Transact("SV\r", reply);
}

bool FlashEngine::ReportSumCheck(SumCheck result) {
    switch (result) {
        case SumCheck::Confirmed:
            m_link.Verified.store(Verification::Confirmed);
            Log("Verify flash data ok!");
            return true;
        case SumCheck::NotChecked:
            m_link.Verified.store(Verification::NotChecked);
            Log(kSumNotChecked);
            return true;
        case SumCheck::Failed:
        case SumCheck::NoAnswer:
            break;
    }
    return false;
}

// The DSP's course after a wrong sum at its verification point.
void FlashEngine::FailVerification() {
    m_image.Close();
    Pause(kFailPauseMs);
    Fail("Verify flash data fail!", JobOutcome::VerifyFail);
    m_channel.ReplyTimeout = kLeaveAfterFailTimeoutMs;
    SendUpToThreeTimes("SV\r", "ST6");
}

FlashEngine::ReadResult FlashEngine::ReadImageLine(std::string& line) {
    // Skipped lines send nothing: without this a stop would wait for the rest of the file.
    if (m_link.Stop.Requested()) {
        m_image.Close();
        return ReadResult::Failed;
    }
    const CheckedImageReader::Result read = m_image.Next(line);
    if (read == CheckedImageReader::Result::End) return ReadResult::End;
    if (read == CheckedImageReader::Result::Stopped) {
        m_image.Close();
        return ReadResult::Failed;
    }
    if (read == CheckedImageReader::Result::Changed) {
        Log(ImageName() + " changed after it was checked (lines " +
            std::to_string(m_image.ChangedFrom()) + " to " + std::to_string(m_image.ChangedTo()) +
            "): no changed line is sent");
        Fail("Write fail!", JobOutcome::WriteFail);
        return ReadResult::Failed;
    }
    return ReadResult::Line;
}

FlashEngine::ProgramResult FlashEngine::ProgramBlocks(const DeviceProfile& device,
                                                      std::int64_t resumeBlock,
                                                      unsigned* checksum) {
    m_image.SetStopCheck([this] { return m_link.Stop.Requested(); });
    if (!m_image.Open(m_link.ImagePath, m_facts)) {
        Fail("Open image file fail!", JobOutcome::ImageUnreadable);
        return ProgramResult::Failed;
    }
    // A resume point at or past the image's end gets here only once the device's sum has shown
    // that it holds the whole image: nothing is left to send.
    m_resumePastEnd = resumeBlock >= static_cast<std::int64_t>(m_facts.Lines);
    unsigned sum = 0;
    std::uint32_t block = 0;
    std::string line;
    for (;;) {
        const ReadResult read = ReadImageLine(line);
        if (read == ReadResult::End) break;
        if (read == ReadResult::Failed) return ProgramResult::Failed;
        line += '\r';
        ++block;
        bool verifyHere = false;
        if (device.verifyAtSentinel && IsSentinelRecord(line)) {
            verifyHere = true;  // the sentinel record itself is not part of the sum
        } else if (IsDataRecord(line)) {
            sum = (sum + RecordWordSum(line)) & 0xFFFFu;
        }
        if (static_cast<std::int64_t>(block) <= resumeBlock) continue;  // stored in a former run

        if (verifyHere) {
            Log("Verify flash data...............");
            if (!ReportSumCheck(CheckSumWithDevice(static_cast<int>(sum)))) {
                FailVerification();
                return ProgramResult::Failed;
            }
        }
        const std::string command = device.blockPrefix(block) + line;
        if (!m_channel.TransactExpect(command.c_str(), device.blockAck(block).c_str())) {
            Fail("Write fail!", JobOutcome::WriteFail);
            return ProgramResult::Failed;
        }
        PublishWrittenBlock(block);
    }
    m_image.Close();
    *checksum = sum;
    return ProgramResult::Completed;
}

bool FlashEngine::ProgramImage(const DeviceProfile& device, unsigned* checksum) {
    m_resumePastEnd = false;
    // Without an erase in this job the case times count from the job's start, not from an erase
    // of an earlier job.
    m_counters.EraseStartTime.store(m_link.JobStartTime);
    if (!CountImageBlocks(device.verifyAtSentinel)) {
        // Also an image that cannot be read: the device keeps the firmware it has.
        if (!m_link.Stop.Requested()) RefuseImage();
        return false;
    }
    EntryPhase entry = FirstEntry(device);
    std::int64_t resumeBlock = 0;
    if (RunEntryPasses(device, entry, &resumeBlock) < kReadyState) {
        ReportConnectFail();
        return false;
    }
    bool eraseFirst = false;
    if (m_link.FullUpdate && !entry.eraseStarted) {
        Log("A full update was asked for: erasing the device first");
        eraseFirst = true;
    } else if (resumeBlock > 0) {
        const ResumeCheck held = CheckResumePoint(device, resumeBlock);
        if (held == ResumeCheck::Failed) return false;
        eraseFirst = held == ResumeCheck::EraseFirst;
    }
    if (eraseFirst) {
        // The erase and the wait for its end, as for a device that asked for them, with the
        // passes the entry left.
        entry.state = 1;
        resumeBlock = 0;
        if (RunEntryPasses(device, entry, &resumeBlock) < kReadyState) {
            ReportConnectFail();
            return false;
        }
    }
    m_link.Record.SetResumeBlock(resumeBlock);
    m_counters.ResumedFrom.store(
        static_cast<std::uint32_t>(std::min<std::int64_t>(resumeBlock, 0xFFFFFFFFll)));
    BeginProgram();
    return ProgramBlocks(device, resumeBlock, checksum) == ProgramResult::Completed;
}

void FlashEngine::UpdateDsp() {
    unsigned checksum = 0;
    if (!ProgramImage(kDspProfile, &checksum)) return;
    m_channel.ReplyTimeout = kStageTimeoutMs;
    SendUpToThreeTimes("SV\r", "ST6");  // a missing ST6 does not fail the run
    FinishReflash();
}

void FlashEngine::UpdateMcu() {
    unsigned checksum = 0;
    if (!ProgramImage(kMcuProfile, &checksum)) return;
    Log("Verify flash data...............");
    const SumCheck result = CheckSumWithDevice(static_cast<int>(checksum));
    // After a resume past the image's end no block was sent: only a matching sum shows that the
    // device holds this image.
    const bool passed =
        m_resumePastEnd && result != SumCheck::Confirmed ? false : ReportSumCheck(result);
    if (!passed) {
        Pause(kFailPauseMs);
        Fail("Verify flash data fail!", JobOutcome::VerifyFail);
        m_channel.ReplyTimeout = kStageTimeoutMs;
        SendUpToThreeTimes("CHKF\r", "ST1");  // and no leave command
        return;
    }
    m_channel.ReplyTimeout = kStageTimeoutMs;
    SendUpToThreeTimes("CHKS\r", "ST5");
    m_channel.ReplyTimeout = kStageTimeoutMs;
    SendUpToThreeTimes("SV\r", "ST6");
    FinishReflash();
}

}  // namespace pellorin
