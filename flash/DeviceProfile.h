// What tells the DSP and MCU bootloaders apart, as data: the procedures share everything else.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "flash/FlashEngine.h"

namespace pellorin {

struct FlashEngine::DeviceProfile {
    std::string (*firstEntry)(int deviceNumber);  // the first entry command, for DeviceIndex + 1
    const char* secondEntry;                      // the entry command every later pass uses
    int (FlashEngine::*queryState)(const char*, std::int64_t*);
    int eraseTimeoutMs;       // ReplyTimeout for the erase command
    int afterEraseTimeoutMs;  // ReplyTimeout for the end-of-erase query after an erase
    std::string (*blockPrefix)(std::uint32_t block);  // goes before the record line
    std::string (*blockAck)(std::uint32_t block);     // the acknowledgement of one block
    bool verifyAtSentinel;  // verify before the 7FFE record (DSP) or after the last block
};

namespace device_commands {

// printf into a string; the formats below are literals, so the compiler checks them.
[[gnu::format(printf, 1, 2)]] inline std::string Formatted(const char* format, ...) {
    char text[32];
    va_list values;
    va_start(values, format);
    std::vsnprintf(text, sizeof text, format, values);
    va_end(values);
    return text;
}

// The DSP: the device number in three digits; decimal block numbers of at least four digits.
inline std::string DspFirstEntry(int deviceNumber) {
    return Formatted(":dsp%03d%c", deviceNumber, 13);
}
inline std::string DspBlockPrefix(std::uint32_t block) { return Formatted("SD_%04u", block); }
inline std::string DspBlockAck(std::uint32_t block) { return Formatted("ST4_%04u", block); }

// The MCU: its first entry form is ":mcu" and the device number as one byte (0x01), with no
// carriage return; the devices in the field have only ever seen that. Upper-case hexadecimal
// block numbers of at least four digits.
inline std::string McuFirstEntry(int deviceNumber) { return Formatted(":mcu%c", deviceNumber); }
inline std::string McuBlockPrefix(std::uint32_t block) { return Formatted("SD_%04X", block); }
inline std::string McuBlockAck(std::uint32_t block) { return Formatted("ST4_%04X", block); }

}  // namespace device_commands

// The DSP: decimal block numbers, verification before the record at address 7FFE.
inline const FlashEngine::DeviceProfile kDspProfile = {
    device_commands::DspFirstEntry,
    ":dsp\r",
    &FlashEngine::QueryDspState,
    16000,
    12000,
    device_commands::DspBlockPrefix,
    device_commands::DspBlockAck,
    true,
};

// The MCU: hexadecimal block numbers, verification after the last block.
inline const FlashEngine::DeviceProfile kMcuProfile = {
    device_commands::McuFirstEntry,
    ":mcu\r",
    &FlashEngine::QueryMcuState,
    12000,
    8000,
    device_commands::McuBlockPrefix,
    device_commands::McuBlockAck,
    false,
};

}  // namespace pellorin
