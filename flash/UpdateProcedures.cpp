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
    const std::uint64_t percent = total == 0 ? 100 : std::min<std::uint64_t>(block * 100ull / total, 100);
    m_counters.PercentShown.store(static_cast<std::uint32_t>(percent));
}

void FlashEngine::Fail(const std::string& line) {
    m_image.Close();
    m_counters.FlashPhase.store(kPhaseFailed);
    Log(line);
}

void FlashEngine::SendUpToThreeTimes(const char* command, const char* expected) {
    for (int call = 0; call < 3 && !m_link.Stop.Requested(); ++call) {
        if (m_channel.TransactExpect(command, expected)) return;
    }
}

FlashEngine::ProgramResult FlashEngine::ProgramBlocks(const DeviceProfile& device,
                                                      std::int64_t resumeBlock, unsigned* checksum) {
    if (!m_image.Open(m_link.ImagePath)) {
        Fail("Open image file fail!");
        return ProgramResult::Failed;
    }
    unsigned sum = 0;
    std::uint32_t block = 0;
    std::string line;
    while (m_image.ReadString(line)) {
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
            if (!VerifyChecksum(static_cast<int>(sum))) {
                m_image.Close();
                Pause(kFailPauseMs);
                Fail("Verify flash data fail!");
                m_channel.ReplyTimeout = kLeaveAfterFailTimeoutMs;
                SendUpToThreeTimes("SV\r", "ST6");
                return ProgramResult::Failed;
            }
            Log("Verify flash data ok!");
        }
        const std::string command = device.blockPrefix(block) + line;
        if (!m_channel.TransactExpect(command.c_str(), device.blockAck(block).c_str())) {
            Fail("Write fail!");
            return ProgramResult::Failed;
        }
        PublishWrittenBlock(block);
    }
    m_image.Close();
    *checksum = sum;
    return ProgramResult::Completed;
}

bool FlashEngine::ProgramImage(const DeviceProfile& device, unsigned* checksum) {
    CountImageBlocks();
    std::int64_t resumeBlock = 0;
    if (EnterProgrammingState(device, &resumeBlock) < kReadyState) {
        ReportConnectFail();
        return false;
    }
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
    if (!VerifyChecksum(static_cast<int>(checksum))) {
        Pause(kFailPauseMs);
        Fail("Verify flash data fail!");
        m_channel.ReplyTimeout = kStageTimeoutMs;
        SendUpToThreeTimes("CHKF\r", "ST1");  // and no leave command
        return;
    }
    Log("Verify flash data ok!");
    m_channel.ReplyTimeout = kStageTimeoutMs;
    SendUpToThreeTimes("CHKS\r", "ST5");
    m_channel.ReplyTimeout = kStageTimeoutMs;
    SendUpToThreeTimes("SV\r", "ST6");
    FinishReflash();
}

}  // namespace pellorin
