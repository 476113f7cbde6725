// The DSP and MCU update procedures: entry and erase, block-by-block programming with an
// acknowledgement for each block, verification and leave. Strictly stop-and-wait: one block is
// outstanding at a time and the next goes out as soon as the previous one is acknowledged.
#include <cstdio>

#include "flash/DeviceProfile.h"
#include "flash/RecordSum.h"

namespace pellorin {
namespace {

constexpr int kMaxEntryPasses = 6;
constexpr int kReadyState = 3;
constexpr DWORD kErasePacingMs = 50;
constexpr int kQueryTimeoutMs = 1000;
constexpr int kStageTimeoutMs = 2000;
constexpr int kLeaveAfterFailTimeoutMs = 1000;
constexpr DWORD kFailPauseMs = 50;
// Said instead of "Verify flash data ok!" when the device answered SUM without its sum.
constexpr const char* kSumNotChecked =
    "Verify flash data not checked: the device did not send its sum";

// The DSP's verification point: the record whose address field (characters 3-6) is "7FFE".
bool IsSentinelRecord(const std::string& line) {
    return line.size() >= 7 && line.compare(3, 4, "7FFE") == 0;
}

// A data record: record type "00", of which character 8 is read. A line too short to have it is
// not a data record; it is still sent as a block like every other line.
bool IsDataRecord(const std::string& line) { return line.size() > 8 && line[8] == '0'; }

}  // namespace

int FlashEngine::EnterProgrammingState(const DeviceProfile& device, std::int64_t* resumeBlock) {
    char command[16] = {};
    std::snprintf(command, sizeof command, "%s", device.firstEntry(m_link.DeviceIndex + 1).c_str());
    int state = 0;
    *resumeBlock = 0;
    bool eraseStarted = false;
    for (int pass = 0; pass < kMaxEntryPasses && state < kReadyState; ++pass) {
        if (m_link.Stop.Requested()) break;
        if (state == 0) {
            m_channel.ReplyTimeout = kQueryTimeoutMs;
            state = (this->*device.queryState)(command, resumeBlock);
            if (state == 0) {
                std::snprintf(command, sizeof command, "%s", device.secondEntry);
                state = (this->*device.queryState)(command, resumeBlock);
            }
            m_channel.ReplyTimeout = kStageTimeoutMs;
        } else if (state == 1) {
            std::snprintf(command, sizeof command, ":efh\r");
            m_channel.ReplyTimeout = device.eraseTimeoutMs;
            if (m_channel.TransactExpect(command, "ST2")) {
                state = 2;
                BeginErase(kErasePacingMs);
                eraseStarted = true;
                // The erase wipes whatever a former run stored: a block number the device gave
                // before it must not make the run skip blocks into an empty flash.
                *resumeBlock = 0;
            }
            m_channel.ReplyTimeout = device.afterEraseTimeoutMs;
        } else if (state == 2) {
            std::snprintf(command, sizeof command, ":st\r");
            if (m_channel.TransactExpect(command, "ST3")) state = kReadyState;
        }
        // A negative state sends nothing; the pass still counts.
    }
    m_channel.ReplyTimeout = kStageTimeoutMs;
    // An erase that never finished must not leave its pacing timer running on.
    if (state < kReadyState && eraseStarted && !m_console.StopRequested()) {
        m_console.StopTimer(kEraseTimer);
    }
    return state;
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
            Log("Verify flash data ok!");
            return true;
        case SumCheck::NotChecked:
            Log(kSumNotChecked);
            return true;
        case SumCheck::Failed:
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

FlashEngine::ProgramResult FlashEngine::ProgramBlocks(const DeviceProfile& device,
                                                      std::int64_t resumeBlock,
                                                      unsigned* checksum) {
    m_image.SetStopCheck([this] { return m_link.Stop.Requested(); });
    if (!m_image.Open(m_link.ImagePath, m_facts)) {
        Fail("Open image file fail!", JobOutcome::ImageUnreadable);
        return ProgramResult::Failed;
    }
    const std::uint32_t total = m_facts.Lines;
    m_resumePastEnd = resumeBlock >= static_cast<std::int64_t>(total);
    if (m_resumePastEnd) {
        // Nothing would be sent: the device names a block this image does not have, so it does
        // not hold this image unless its sum says so.
        Log("The device reports block " + std::to_string(resumeBlock) + ", " + ImageName() +
            " has " + std::to_string(total) + " blocks");
        // The DSP is asked for no sum past its verification point: nothing can confirm the image.
        if (device.verifyAtSentinel) {
            FailVerification();
            return ProgramResult::Failed;
        }
    }
    unsigned sum = 0;
    std::uint32_t block = 0;
    std::string line;
    for (;;) {
        // Skipped lines send nothing: without this a stop would wait for the rest of the file.
        if (m_link.Stop.Requested()) {
            m_image.Close();
            return ProgramResult::Failed;
        }
        const CheckedImageReader::Result read = m_image.Next(line);
        if (read == CheckedImageReader::Result::End) break;
        if (read == CheckedImageReader::Result::Stopped) {
            m_image.Close();
            return ProgramResult::Failed;
        }
        if (read == CheckedImageReader::Result::Changed) {
            Log(ImageName() + " changed after it was checked (lines " +
                std::to_string(m_image.ChangedFrom()) + " to " +
                std::to_string(m_image.ChangedTo()) + "): no changed line is sent");
            Fail("Write fail!", JobOutcome::WriteFail);
            return ProgramResult::Failed;
        }
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
    if (!CountImageBlocks()) {
        // Also an image that cannot be read: the device keeps the firmware it has.
        if (!m_link.Stop.Requested()) RefuseImage();
        return false;
    }
    std::int64_t resumeBlock = 0;
    if (EnterProgrammingState(device, &resumeBlock) < kReadyState) {
        ReportConnectFail();
        return false;
    }
    m_link.Record.SetResumeBlock(resumeBlock);
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
    // device already holds this image.
    const bool passed = m_resumePastEnd ? result == SumCheck::Confirmed && ReportSumCheck(result)
                                        : ReportSumCheck(result);
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
