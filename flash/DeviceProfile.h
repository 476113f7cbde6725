// What tells the DSP and MCU bootloaders apart, as data: the procedures share everything else.
#pragma once

#include <cstdint>

#include "flash/FlashEngine.h"

namespace pellorin {

struct FlashEngine::DeviceProfile {
    const char* firstEntryFormat;   // formatted with DeviceIndex + 1 and CR
    const char* secondEntry;        // the entry command every later pass uses
    int (FlashEngine::*queryState)(const char*, std::int64_t*);
    int eraseTimeoutMs;             // ReplyTimeout for the erase command
    int afterEraseTimeoutMs;        // ReplyTimeout for the end-of-erase query after an erase
    const char* blockFormat;        // block number, then the record line
    const char* ackFormat;          // the acknowledgement of one block
    bool verifyAtSentinel;          // verify before the 7FFE record (DSP) or after the last block
};

// The DSP: decimal block numbers, verification before the record at address 7FFE.
inline const FlashEngine::DeviceProfile kDspProfile = {
    ":dsp%03d%c", ":dsp\r", &FlashEngine::QueryDspState, 16000, 12000, "SD_%04u", "ST4_%04u", true,
};

// The MCU: hexadecimal block numbers, verification after the last block. Its first entry form is
// sent as formatted, ":mcu" and the byte 0x01 with no carriage return: the format takes only the
// first of its two values, and the devices in the field have only ever seen that.
inline const FlashEngine::DeviceProfile kMcuProfile = {
    ":mcu%c", ":mcu\r", &FlashEngine::QueryMcuState, 12000, 8000, "SD_%04X", "ST4_%04X", false,
};

}  // namespace pellorin
