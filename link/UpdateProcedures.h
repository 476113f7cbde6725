// The flash engine's two procedures as the job runner sees them: it calls them on the worker once
// the port is open, the speed agreed and the image found.
#pragma once

#include "console/JobMode.h"

namespace pellorin {

class UpdateProcedures {
  public:
    virtual ~UpdateProcedures() = default;
    virtual void UpdateDsp() = 0;
    virtual void UpdateMcu() = 0;
    // The line went away before a procedure could begin (the adapter was pulled out while the
    // speed was being agreed): the run ends as a failed one.
    virtual void PortLost() {}
    // A status job (DeviceLink::QueryOnly): enter the bootloader of the job's target, report its
    // state and what it holds, and leave it again; nothing is erased or written.
    virtual void QueryDevice(int jobMode) { (void)jobMode; }
};

}  // namespace pellorin
