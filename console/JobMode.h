// The kinds of job a button starts.
#pragma once

namespace pellorin {

enum JobModeValue : int {
    kJobNone = -1,  // before the window has initialised
    kJobMcuUpdate = 1,
    kJobDspUpdate = 2,
    kJobReadVersion = 6,
    kJobResetEeprom = 7,
};

}  // namespace pellorin
