// FlashEngine: the DSP and MCU update procedures: entry (the device's state reply) and erase,
// block-by-block programming with an acknowledgement for each block, verification and leave.
// Strictly stop-and-wait: one block is outstanding at a time and the next goes out as soon as the
// previous one is acknowledged.
#include "flash/FlashEngine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "flash/IntelHexRecord.h"
#include "flash/StateReply.h"
#include "platform/Trace.h"

namespace pellorin {
namespace {

// Said instead of "Verify flash data ok!" when the device answered SUM without its sum.
constexpr const char* kSumNotChecked =
    "Verify flash data not checked: the device did not send its sum";

constexpr DWORD kErasePacingMs = 50;  // the erase bar's timer period

// The text after the first line of a reply that holds two lines, "" when it holds one.
std::string SecondLine(const std::string& reply) {
    const std::size_t end = reply.find('\r');
    return end == std::string::npos ? std::string() : reply.substr(end + 1);
}

}  // namespace

FlashEngine::EntryPhase FlashEngine::FirstEntry(const Bootloader& device) const {
    EntryPhase entry;
    std::snprintf(entry.command, sizeof entry.command, "%s",
                  device.firstEntry(m_link.DeviceIndex + 1).c_str());
    return entry;
}

int FlashEngine::QueryDspState(const char* command, std::int64_t* resumeBlock) {
    for (int attempt = 0; attempt < protocol::kEntryTries && !m_link.Stop.Requested(); ++attempt) {
        char buffer[kReplyBufferSize] = {};
        m_link.Connecting.NextAttempt();
        int length = m_channel.Transact(command, buffer);
        std::string reply(buffer, static_cast<std::size_t>(length));
        if (length > 0 && reply.starts_with(protocol::kAnnouncement)) {
            // The device may announce itself with a "YSJ" line before its state line. When both
            // came in one batch the state line is already here; otherwise it is still coming.
            reply = SecondLine(reply);
            if (reply.empty()) {
                std::memset(buffer, 0, sizeof buffer);
                length = m_channel.WaitReply(buffer, static_cast<DWORD>(m_channel.ReplyTimeout));
                reply.assign(buffer, static_cast<std::size_t>(length));
            }
        }
        if (const auto parsed = ParseDspStateReply(reply)) {
            *resumeBlock = parsed->resumeBlock;
            return parsed->state;
        }
        Pause(protocol::kEntryRetryPause);
    }
    *resumeBlock = 0;
    return 0;
}

int FlashEngine::QueryMcuState(const char* command, std::int64_t* resumeBlock) {
    for (int attempt = 0; attempt < protocol::kEntryTries && !m_link.Stop.Requested(); ++attempt) {
        char buffer[kReplyBufferSize] = {};
        m_link.Connecting.NextAttempt();
        const int length = m_channel.Transact(command, buffer);
        const std::string reply(buffer, static_cast<std::size_t>(length));
        if (const auto parsed = ParseMcuStateReply(reply)) {
            platform::Trace(reply.c_str());
            *resumeBlock = parsed->resumeBlock;
            return parsed->state;
        }
        Pause(protocol::kEntryRetryPause);
    }
    *resumeBlock = 0;
    return 0;
}

int FlashEngine::QueryState(const Bootloader& device, const char* command,
                            std::int64_t* resumeBlock) {
    return device.target == protocol::Target::Dsp ? QueryDspState(command, resumeBlock)
                                                  : QueryMcuState(command, resumeBlock);
}

void FlashEngine::QueryStatePass(const Bootloader& device, EntryPhase& entry,
                                 std::int64_t* resumeBlock) {
    if (entry.passes == 0) {
        m_link.Connecting.Begin(ConnectStep::Entry,
                                protocol::kMaxEntryPasses * 2 * protocol::kEntryTries);
    }
    SetReplyTimeout(protocol::kEntryTimeout);
    entry.state = QueryState(device, entry.command, resumeBlock);
    if (entry.state == 0) {
        std::snprintf(entry.command, sizeof entry.command, "%s", device.secondEntry);
        entry.state = QueryState(device, entry.command, resumeBlock);
    }
    // Only a device ready for blocks names a block to resume after: the number in a reply of
    // state 1 or 2 (ST2_0150 while erasing) is left over from an earlier run, and the flash it
    // counted is being erased.
    if (entry.state < protocol::kReadyState) *resumeBlock = 0;
    SetReplyTimeout(protocol::kStageTimeout);
}

int FlashEngine::RunEntryPasses(const Bootloader& device, EntryPhase& entry,
                                std::int64_t* resumeBlock) {
    for (; entry.passes < protocol::kMaxEntryPasses && entry.state < protocol::kReadyState;
         ++entry.passes) {
        if (m_link.Stop.Requested()) break;
        if (entry.state == 0) {
            QueryStatePass(device, entry, resumeBlock);
        } else if (entry.state == 1) {
            std::snprintf(entry.command, sizeof entry.command, "%s", protocol::kEraseCommand);
            SetReplyTimeout(device.eraseTimeout);
            if (m_channel.TransactExpect(entry.command, protocol::kEraseReply)) {
                entry.state = 2;
                BeginErase(kErasePacingMs);
                entry.eraseStarted = true;
                // The erase wipes whatever a former run stored: programming starts at block 1.
                *resumeBlock = 0;
            }
            SetReplyTimeout(device.afterEraseTimeout);
        } else if (entry.state == 2) {
            std::snprintf(entry.command, sizeof entry.command, "%s", protocol::kEraseEndCommand);
            if (m_channel.TransactExpect(entry.command, protocol::kEraseEndReply))
                entry.state = protocol::kReadyState;
        }
        // A negative state sends nothing; the pass still counts.
    }
    SetReplyTimeout(protocol::kStageTimeout);
    // An erase that never finished must not leave its pacing timer running on.
    if (entry.state < protocol::kReadyState && entry.eraseStarted && !m_console.StopRequested()) {
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

void FlashEngine::SendClosing(const protocol::Exchange& exchange) {
    SetReplyTimeout(exchange.timeout);
    for (int call = 0; call < exchange.calls && !m_link.Stop.Requested(); ++call) {
        if (m_channel.TransactExpect(exchange.command, exchange.reply)) return;
    }
}

void FlashEngine::RefuseImage() {
    m_link.Outcome.store(JobOutcome::ImageRefused);
    char reply[kReplyBufferSize] = {};
    (void)m_channel.Transact(protocol::kLeave.command, reply);
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
    Pause(protocol::kPauseBeforeFailing);
    Fail("Verify flash data fail!", JobOutcome::VerifyFail);
    SendClosing(protocol::kLeaveAfterWrongSum);
}

FlashEngine::ProgramResult FlashEngine::ProgramBlocks(const Bootloader& device,
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
        const bool verifyHere = device.verifyAtSentinel && IsVerificationRecord(line);
        sum = (sum + SumOfLine(device, line)) & 0xFFFFu;
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

bool FlashEngine::ProgramImage(const Bootloader& device, unsigned* checksum) {
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
    if (RunEntryPasses(device, entry, &resumeBlock) < protocol::kReadyState) {
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
        if (RunEntryPasses(device, entry, &resumeBlock) < protocol::kReadyState) {
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
    if (!ProgramImage(protocol::kDsp, &checksum)) return;
    SendClosing(protocol::kLeave);  // a missing ST6 does not fail the run
    FinishReflash();
}

void FlashEngine::UpdateMcu() {
    unsigned checksum = 0;
    if (!ProgramImage(protocol::kMcu, &checksum)) return;
    Log("Verify flash data...............");
    const SumCheck result = CheckSumWithDevice(static_cast<int>(checksum));
    // After a resume past the image's end no block was sent: only a matching sum shows that the
    // device holds this image.
    const bool passed =
        m_resumePastEnd && result != SumCheck::Confirmed ? false : ReportSumCheck(result);
    if (!passed) {
        Pause(protocol::kPauseBeforeFailing);
        Fail("Verify flash data fail!", JobOutcome::VerifyFail);
        SendClosing(protocol::kSumDiffered);  // and no leave command
        return;
    }
    SendClosing(protocol::kSumAgreed);
    SendClosing(protocol::kLeave);
    FinishReflash();
}

}  // namespace pellorin
