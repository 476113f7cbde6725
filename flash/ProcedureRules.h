// What the DSP and MCU procedures share beyond their stage steps: the entry phase's passes, the
// state a device is ready for blocks in, the reply time-outs, and which lines of an image enter
// the sum the device is asked for. Only the procedures' own files include this.
#pragma once

#include <string>

#include "flash/DeviceProfile.h"
#include "flash/IntelHexRecord.h"

namespace pellorin::procedure {

constexpr int kMaxEntryPasses = 6;
constexpr int kReadyState = 3;
constexpr DWORD kErasePacingMs = 50;
constexpr int kQueryTimeoutMs = 1000;
constexpr int kStageTimeoutMs = 2000;
constexpr int kLeaveAfterFailTimeoutMs = 1000;
constexpr DWORD kFailPauseMs = 50;

// What one line (with its CR) adds to the device's sum: the DSP keeps its verification record
// out of it, the MCU counts every data record.
inline unsigned SumOfLine(const FlashEngine::DeviceProfile& device, const std::string& line) {
    if (device.verifyAtSentinel && IsVerificationRecord(line)) return 0;
    return IsDataRecord(line) ? RecordWordSum(line) : 0;
}

}  // namespace pellorin::procedure
