// FlashEngine's stage steps, shared by both procedures: the checksum exchange, erase and
// programming timing, the end of a run.
#include <cstring>

#include "flash/FlashEngine.h"
#include "flash/StateReply.h"
#include "platform/Clock.h"

namespace pellorin {
namespace {
constexpr DWORD kProgramClockMs = 1000;  // the programming clock's timer period
}  // namespace

FlashEngine::FlashEngine(DeviceLink& link, FlashCounters& counters)
    : m_link(link), m_channel(link.Channel), m_console(link.TheConsole), m_counters(counters) {}

void FlashEngine::Log(const std::string& line) {
    if (!m_console.StopRequested()) m_console.InsertLogLine(line);
}

FlashEngine::SumCheck FlashEngine::CheckSumWithDevice(int expectedSum) {
    bool replySeen = false;
    bool checksumReplySeen = false;
    m_lastDeviceSum.reset();
    m_link.Record.SetToolChecksum(static_cast<unsigned>(expectedSum));
    for (int exchange = 0; exchange < protocol::kSumExchanges; ++exchange) {
        char reply[kReplyBufferSize] = {};
        const int length = m_channel.Transact(protocol::kSumCommand, reply);
        if (length >= 1) replySeen = true;
        if (const auto deviceSum = ParseSumReply(std::string(reply, length > 0 ? length : 0))) {
            checksumReplySeen = true;
            m_lastDeviceSum = *deviceSum;
            m_link.Record.AddDeviceChecksum(static_cast<std::uint32_t>(*deviceSum));
            if (*deviceSum == expectedSum) return SumCheck::Confirmed;
        }
        if (m_link.Stop.Requested()) return SumCheck::Failed;
    }
    // A device that answers SUM with something else goes on as if verified (devices rely on it),
    // but nothing was checked; one that sent a checksum reply must have sent a matching one.
    if (checksumReplySeen) return SumCheck::Failed;
    return replySeen ? SumCheck::NotChecked : SumCheck::NoAnswer;
}

void FlashEngine::BeginErase(DWORD pacingPeriodMs) {
    m_link.Connecting.End();  // the device answered: from here on the stage tells the time
    Log("Ereasing flash.............");
    if (!m_console.StopRequested()) {
        m_console.SetProgressRange(0, 100);
        m_console.SetProgressPos(0);
    }
    m_counters.ProgressPercent.store(0);
    m_counters.EraseStartTime.store(platform::timeGetTime());
    if (!m_console.StopRequested()) m_console.StartTimer(kEraseTimer, pacingPeriodMs);
}

void FlashEngine::BeginProgram() {
    m_link.Connecting.End();
    if (!m_console.StopRequested()) {
        m_console.SetProgressPos(100);
        m_console.StopTimer(kEraseTimer);
        m_console.SetProgressRange(0, static_cast<int>(std::min<std::uint32_t>(
                                          m_counters.TotalBlocks.load(), 0x7FFFFFFFu)));
        m_console.SetProgressPos(0);
    }
    Log("Ereased flash ok!");
    const DWORD eraseTime = platform::timeGetTime() - m_counters.EraseStartTime.load();
    Log("Erase case time:" + std::to_string(eraseTime) + "ms");
    Log("Program flash..........");
    m_counters.PercentShown.store(0);
    m_counters.FlashStartTime.store(platform::timeGetTime());
    if (!m_console.StopRequested()) m_console.StartTimer(kProgramTimer, kProgramClockMs);
    SetPhase(kPhaseProgramming);
    m_counters.WrittenBlocks.store(0);
}

void FlashEngine::FinishReflash() {
    Pause(protocol::kFinishPause);
    m_link.Outcome.store(JobOutcome::Updated);
    SetPhase(kPhaseFinished);
    const DWORD reflashTime = platform::timeGetTime() - m_counters.EraseStartTime.load();
    Log("Reflash  case time:" + std::to_string(reflashTime) + "ms");
    // The programming clock keeps ticking through this pause so that one of its ticks sees the
    // finished phase and plays the end sound.
    Pause(protocol::kFinishPause);
    if (!m_console.StopRequested()) m_console.StopTimer(kProgramTimer);
}

void FlashEngine::ReportConnectFail() {
    m_link.Outcome.store(JobOutcome::ConnectFail);
    Log("connect fail");
    // A device that has gone ends the run as a failure, not as an idle port.
    if (m_channel.LinkLost()) PortLost();
}

void FlashEngine::PortLost() { SetPhase(kPhaseFailed); }

void FlashEngine::SetPhase(std::uint8_t phase) {
    m_counters.FlashPhase.store(phase);
    m_link.Record.SetFlashPhase(phase);
}

}  // namespace pellorin
