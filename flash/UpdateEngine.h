// The whole engine a front end owns: the device link (port, reply channel, job runner) with the
// flash procedures plugged into it. The front end constructs it with itself as console and window
// object, and calls Link's StartJob, OnSerialMessage, ClosePort and Shutdown on its own thread.
#pragma once

#include <string>

#include "console/FlashCounters.h"
#include "flash/FlashEngine.h"
#include "flash/ImageFileFacts.h"
#include "link/DeviceLink.h"
#include "link/JobControl.h"

namespace pellorin {

class UpdateEngine : public JobControl {
  public:
    UpdateEngine(Console& console, platform::WindowObject& window, FlashCounters& counters)
        : Link(console, window), Flash(Link, counters) {
        Link.SetProcedures(&Flash);
        Link.Record.SetBlockCounters(&counters);
        Link.Record.SetImageReader(ReadImageFileFacts);
    }
    ~UpdateEngine() override { Link.Shutdown(); }  // before Flash goes: the worker may be inside it
    UpdateEngine(const UpdateEngine&) = delete;
    UpdateEngine& operator=(const UpdateEngine&) = delete;

    // JobControl, for the windows' job buttons.
    bool StartJob(int jobMode, bool negotiateBaud, const std::string& portName,
                  const std::string& portIdentity) override {
        return Link.StartJob(jobMode, negotiateBaud, portName, portIdentity);
    }
    [[nodiscard]] bool JobRunning() const override { return Link.JobRunning(); }
    bool WaitForJob(unsigned timeoutMs) override { return Link.WaitForJob(timeoutMs); }
    void ClosePort() override { Link.ClosePort(); }
    void CountImageBlocks() override { Flash.CountImageBlocks(); }

    DeviceLink Link;
    FlashEngine Flash;
};

}  // namespace pellorin
