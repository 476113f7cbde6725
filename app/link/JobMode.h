// The kinds of job a button starts, and the update procedures the job runner hands them to.
#pragma once

namespace pellorin {

enum JobModeValue : int {
    kJobNone = -1,  // before the window has initialised
    kJobMcuUpdate = 1,
    kJobDspUpdate = 2,
    kJobReadVersion = 6,
    kJobResetEeprom = 7,
};

// The flash engine's two procedures; the job runner calls them on the worker once the port is
// open, the speed agreed and the image found.
class UpdateProcedures {
public:
    virtual ~UpdateProcedures() = default;
    virtual void UpdateDsp() = 0;
    virtual void UpdateMcu() = 0;
};

}  // namespace pellorin
