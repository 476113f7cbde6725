// The bootloaders' text protocol in one table: each command the tool sends, the reply that counts
// as its success, the reply time-out in force and how often it is tried, and the pauses the
// device sees. The DSP and the MCU speak the same protocol but for a handful of entries (their
// Bootloader rows at the end). The flash procedures and the job runner read it; the speed
// exchange that comes first is in LinkSpeeds.h.
//
// Every command ends with one carriage return. A reply is a line ended by a carriage return; it
// counts when it begins with the text given, compared case-sensitively. TransactExpect sends a
// command up to twice until such a reply comes; a "call" below is one TransactExpect.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace pellorin::protocol {

using Milliseconds = std::chrono::milliseconds;

// A closing command: sent in up to `calls` calls, until a reply beginning with `reply`; its
// outcome changes nothing but the device's next state.
struct Exchange {
    const char* command;
    const char* reply;
    Milliseconds timeout;  // the reply time-out in force
    int calls;
};

// ---- Entry: the device answers the entry command with its state, "ST<state>_<block>".
inline constexpr const char* kStateReply = "ST";
// The DSP may announce itself with a line beginning with this before its state line.
inline constexpr const char* kAnnouncement = "YSJ";
inline constexpr Milliseconds kEntryTimeout{1000};
// Sends of one entry command until a state reply comes, with a pause after each that got none.
inline constexpr int kEntryTries = 2;
inline constexpr Milliseconds kEntryRetryPause{2000};
// Passes of the entry and erase phase (a pass sends the command the state calls for).
inline constexpr int kMaxEntryPasses = 6;
// The state in which a device takes blocks; it names the block to resume after.
inline constexpr int kReadyState = 3;

// ---- Erase (state 1), and the wait for its end (state 2). Their time-outs are the device's.
inline constexpr const char* kEraseCommand = ":efh\r";
inline constexpr const char* kEraseReply = "ST2";
inline constexpr const char* kEraseEndCommand = ":st\r";
inline constexpr const char* kEraseEndReply = "ST3";

// ---- The reply time-out of everything after the entry: blocks, sums, closing commands.
inline constexpr Milliseconds kStageTimeout{2000};

// ---- Checksum: "SUM" and the device's 16-bit sum in four hex digits, up to 8 exchanges with no
// pause between them.
inline constexpr const char* kSumCommand = "SUM\r";
inline constexpr const char* kSumReply = "SUM";
inline constexpr std::size_t kSumReplyLength = 7;  // a shorter line is no checksum reply
inline constexpr int kSumExchanges = 8;

// ---- Closing commands.
inline constexpr Exchange kLeave = {"SV\r", "ST6", kStageTimeout, 3};
// The DSP after a wrong sum: told to leave, sooner.
inline constexpr Exchange kLeaveAfterWrongSum = {"SV\r", "ST6", Milliseconds{1000}, 3};
// The MCU after its sum: told whether it agreed (then told to leave) or not (and nothing more).
inline constexpr Exchange kSumAgreed = {"CHKS\r", "ST5", kStageTimeout, 3};
inline constexpr Exchange kSumDiffered = {"CHKF\r", "ST1", kStageTimeout, 3};

// ---- Pauses.
// After a wrong sum, before the device is told.
inline constexpr Milliseconds kPauseBeforeFailing{50};
// At the end of a run, before and after it counts as finished.
inline constexpr Milliseconds kFinishPause{1000};
// Between a job's last command and the port's close, so that the device can act on it.
inline constexpr Milliseconds kSettleBeforeClose{1000};

// printf into a string; the formats below are literals, so the compiler checks them.
[[gnu::format(printf, 1, 2)]] inline std::string Formatted(const char* format, ...) {
    char text[32];
    va_list values;
    va_start(values, format);
    std::vsnprintf(text, sizeof text, format, values);
    va_end(values);
    return text;
}

// ---- What tells the two bootloaders apart.
enum class Target { Dsp, Mcu };

struct Bootloader {
    Target target;  // also how its state reply is read
    // The entry command the first pass sends first, for the device number DeviceIndex + 1, and
    // the one it falls back to and every later pass sends.
    std::string (*firstEntry)(int deviceNumber);
    const char* secondEntry;
    Milliseconds eraseTimeout;       // for the erase command
    Milliseconds afterEraseTimeout;  // for the end-of-erase query after an erase in this job
    // Block n: the command's prefix (the record line and its CR follow) and its acknowledgement.
    std::string (*blockPrefix)(std::uint32_t block);
    std::string (*blockAck)(std::uint32_t block);
    // Where the sum is checked: before the record at address 7FFE (DSP, which keeps that record
    // out of its sum), or after the last block (MCU, which sums every data record).
    bool verifyAtSentinel;
};

// The DSP: the device number in three digits and a CR; decimal block numbers of at least four
// digits.
inline constexpr Bootloader kDsp = {
    Target::Dsp,
    [](int deviceNumber) { return Formatted(":dsp%03d%c", deviceNumber, 13); },
    ":dsp\r",
    Milliseconds{16000},
    Milliseconds{12000},
    [](std::uint32_t block) { return Formatted("SD_%04u", block); },
    [](std::uint32_t block) { return Formatted("ST4_%04u", block); },
    true,
};

// The MCU: its first entry form is ":mcu" and the device number as one byte (0x01), with no
// CR; the devices in the field have only ever seen that. Upper-case hexadecimal block numbers of
// at least four digits.
inline constexpr Bootloader kMcu = {
    Target::Mcu,
    [](int deviceNumber) { return Formatted(":mcu%c", deviceNumber); },
    ":mcu\r",
    Milliseconds{12000},
    Milliseconds{8000},
    [](std::uint32_t block) { return Formatted("SD_%04X", block); },
    [](std::uint32_t block) { return Formatted("ST4_%04X", block); },
    false,
};

}  // namespace pellorin::protocol
