// What the DSP and MCU procedures share beyond their stage steps: the entry phase's passes, the
// state a device is ready for blocks in, the reply time-outs, and which lines of an image enter
// the sum the device is asked for. Only the procedures' own files include this.
#pragma once

#include <string>

#include "flash/DeviceProfile.h"
#include "flash/RecordSum.h"

namespace pellorin::procedure {

constexpr int kMaxEntryPasses = 6;
// Each pass asks in the first entry form and then the second, each up to this many times.
constexpr int kQueryTries = 2;
constexpr int kReadyState = 3;
constexpr DWORD kErasePacingMs = 50;
constexpr int kQueryTimeoutMs = 1000;
constexpr int kStageTimeoutMs = 2000;
constexpr int kLeaveAfterFailTimeoutMs = 1000;
constexpr DWORD kFailPauseMs = 50;

// The DSP's verification point: the record whose address field (characters 3-6) is "7FFE".
inline bool IsSentinelRecord(const std::string& line) {
    return line.size() >= 7 && line.compare(3, 4, "7FFE") == 0;
}

// A data record: record type "00", of which character 8 is read. A line too short to have it is
// not a data record; it is still sent as a block like every other line.
inline bool IsDataRecord(const std::string& line) { return line.size() > 8 && line[8] == '0'; }

// What one line (with its CR) adds to the device's sum: the DSP keeps its verification record
// out of it, the MCU counts every data record.
inline unsigned SumOfLine(const FlashEngine::DeviceProfile& device, const std::string& line) {
    if (device.verifyAtSentinel && IsSentinelRecord(line)) return 0;
    return IsDataRecord(line) ? RecordWordSum(line) : 0;
}

}  // namespace pellorin::procedure
